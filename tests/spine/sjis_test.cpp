// SPDX-License-Identifier: GPL-3.0-or-later
#include "spine/sjis.h"

#include <gtest/gtest.h>

#include <tuple>

namespace gorvane {
namespace {

TEST(Sjis, RoundTripsCodePage932Characters) {
  const std::pair<std::string, std::string> cases[] = {
      {"ソ", "\x83\x5C"},   // trail byte 0x5C
      {"表", "\x95\x5C"},   // trail byte 0x5C
      {"ポ", "\x83\x7C"},   // trail byte 0x7C
      {"①", "\x87\x40"},    // NEC extension row
      {"～", "\x81\x60"},   // the full-width tilde of code page 932
      {"\\~", "\x5C\x7E"},  // single bytes stay ASCII
      {"ｱ", "\xB1"},        // half-width katakana
      {"ロビー", "\x83\x8D\x83\x72\x81\x5B"},
  };
  for (const auto& [utf8, cp932] : cases) {
    EXPECT_EQ(sjis::FromUtf8(utf8), cp932) << utf8;
    EXPECT_EQ(sjis::ToUtf8(cp932), utf8) << utf8;
  }
}

TEST(Sjis, CharactersWithTwoCodesReadFromBothAndAreWrittenOneWay) {
  // The NEC and IBM rows repeat some characters; typed text is sent in the
  // form code page 932 itself writes.
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"￢", "\x81\xCA", "\xFA\x54"},
      {"∵", "\x81\xE6", "\x87\x9A"},
      {"ⅰ", "\xFA\x40", "\xEE\xEF"},
  };
  for (const auto& [utf8, written, alsoRead] : cases) {
    EXPECT_EQ(sjis::FromUtf8(utf8), written) << utf8;
    EXPECT_EQ(sjis::ToUtf8(written), utf8) << utf8;
    EXPECT_EQ(sjis::ToUtf8(alsoRead), utf8) << utf8;
  }
}

TEST(Sjis, UnrepresentableTextIsRefusedNotAltered) {
  EXPECT_FALSE(sjis::FromUtf8("€").has_value());
  EXPECT_FALSE(sjis::FromUtf8("😀").has_value());
  EXPECT_FALSE(sjis::Representable("a€"));
  EXPECT_TRUE(sjis::Representable("ゴルヴァーン"));
  EXPECT_THROW(sjis::Text("€"), std::logic_error);
}

TEST(Sjis, InvalidBytesShowAsReplacementCharacters) {
  // A lone lead byte at the end and a byte that starts nothing.
  EXPECT_EQ(sjis::ToUtf8("a\x83"), "a\xEF\xBF\xBD");
  EXPECT_EQ(sjis::ToUtf8("\xFF"
                         "b"),
            "\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(sjis::ToUtf8("\x83 x"), "\xEF\xBF\xBD x");
  // Bytes that start no character of code page 932, amid valid ones.
  const std::string bad = "\xEF\xBF\xBD";
  EXPECT_EQ(sjis::ToUtf8("\x80\xA0\xFD\xFE\xFF\x82\xA0"), bad + bad + bad + bad + bad + "あ");
  // Malformed UTF-8 is refused, not guessed at.
  for (const char* bad : {"\xC0\xAF", "\xE3\x81", "\xED\xA0\x80", "\xFF"}) {
    EXPECT_FALSE(sjis::FromUtf8(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace gorvane
