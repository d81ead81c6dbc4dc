// SPDX-License-Identifier: GPL-3.0-or-later
#include "spine/codec.h"

#include <gtest/gtest.h>

#include <random>

#include "spine/fields.h"

namespace gorvane {
namespace {

struct SplitCase {
  std::string text;
  char delimiter;
  Fields fields;
};

TEST(Codec, SplitsLikeTheProtocolSays) {
  const SplitCase cases[] = {
      {"S_X 1,\"a b\",,\"c\"\"d\",", ',', {"S_X", "1", "a b", "", "c\"d", ""}},
      {"a b", ',', {"a", "b"}},
      {"a , b", ',', {"a", "b"}},
      {"a, ,b", ',', {"a", "", "b"}},
      {",a", ',', {"", "a"}},
      {"\"a\"b", ',', {"a", "b"}},
      {"a\"b", ',', {"a\"b"}},
      {"\"abc", ',', {"ab"}},
      {"\"\"", ',', {""}},
      {"", ',', {}},
      {" \t\r\n ", ',', {}},
      {"a,", ',', {"a", ""}},
      {"a, ", ',', {"a"}},
      {"a\tb\x01"
       "c",
       ',',
       {"a", "b", "c"}},
      // The nested records of the lobby lists.
      {"1:\"A B\":0", ':', {"1", "A B", "0"}},
      {"1:A B:0", ':', {"1", "A", "B", "0"}},
      {"1:a,b:0", ':', {"1", "a,b", "0"}},
      // Double-byte characters whose trail byte is a backslash or a bar pass whole.
      {"\x83\x5C,\x95\x5C \x83\x7C", ',', {"\x83\x5C", "\x95\x5C", "\x83\x7C"}},
      // A NUL (only ever in a file, never inside a message) separates like a
      // blank instead of stopping the split where it is.
      {std::string("a\0b", 3), ',', {"a", "b"}},
      {std::string("\0,\0", 3), ',', {""}},
      {std::string("\"a\0\"", 4), ',', {std::string("a\0", 2)}},
      // Quotes doubled in long fields, and an unclosed one after them.
      {"\"0123456789\"\"abcdef\"\"ghij\",\"x\"\"yz", ',', {"0123456789\"abcdef\"ghij", "x\"y"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitDelimitedText(c.text, c.delimiter), c.fields) << "text: [" << c.text << "]";
    const FieldViews views(c.text, c.delimiter);
    EXPECT_EQ(Fields(views.begin(), views.end()), c.fields) << "views of [" << c.text << "]";
  }
}

// The dispatch path splits into views; whatever the text, it must find the
// fields SplitDelimitedText finds, also when one FieldViews is reused.
TEST(Codec, FieldViewsFindTheSameFieldsAsTheStringSplit) {
  const std::string alphabet = std::string("ab,:\" \t\x01\r\n\x83\x5C") + '\0';
  std::mt19937 random(20261208);
  FieldViews reused;
  for (int trial = 0; trial < 20000; ++trial) {
    std::string text(std::uniform_int_distribution<size_t>(0, trial % 10 == 0 ? 300 : 24)(random), ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    for (const char delimiter : {',', ':'}) {
      const Fields fields = SplitDelimitedText(text, delimiter);
      reused.Split(text, delimiter);
      ASSERT_EQ(Fields(reused.begin(), reused.end()), fields) << "trial " << trial;
    }
  }
}

TEST(Codec, NestedRecordSurvivesTheMessageQuoting) {
  const Fields message = SplitCommaText("S_LIST,\"1:\"\"A B\"\":0\",2:C:3");
  ASSERT_EQ(message.size(), 3u);
  EXPECT_EQ(message[1], "1:\"A B\":0");
  EXPECT_EQ(SplitDelimitedText(message[1], ':'), (Fields{"1", "A B", "0"}));
  EXPECT_EQ(SplitDelimitedText(message[2], ':'), (Fields{"2", "C", "3"}));
}

TEST(Codec, JoinsAndSplitsBackToTheSameFields) {
  const std::pair<Fields, std::string> cases[] = {
      {{"S_X", "1", "a b", "", "c\"d", ""}, "S_X,1,\"a b\",,\"c\"\"d\","},
      {{""}, "\"\""},
      {{}, ""},
      {{"", ""}, ","},
      {{"a,b", "x:y", "\"q"}, "\"a,b\",x:y,\"\"\"q\""},
      {{" lead", "tab\there", "\x83\x5C"}, "\" lead\",\"tab\there\",\x83\x5C"},
  };
  for (const auto& [fields, joined] : cases) {
    EXPECT_EQ(JoinCommaText(fields), joined);
    EXPECT_EQ(SplitCommaText(joined), fields) << "joined: [" << joined << "]";
  }
}

TEST(Codec, TextAfterFirstSpaceKeepsTheRestAsReceived) {
  const std::pair<std::string, std::string> cases[] = {
      {"S_CHAT x, \"y\"", "x, \"y\""}, {"S_CHAT", "S_CHAT"}, {"S_CHAT,a b  c", "b  c"},
      {"S_CHAT,abc", "S_CHAT,abc"},    {"S_CHAT ", ""},
  };
  for (const auto& [text, rest] : cases) EXPECT_EQ(TextAfterFirstSpace(text), rest) << text;
}

TEST(Codec, TrimDropsControlBytesAndBlanksAtBothEnds) {
  EXPECT_EQ(TrimMessage(std::string_view("\r\nS_LOGIN \0", 11)), "S_LOGIN");
  EXPECT_EQ(TrimMessage(std::string_view("\0", 1)), "");
  EXPECT_EQ(TrimMessage(" a b "), "a b");
}

TEST(Fields, IntegersAreSigned32BitDecimal) {
  const std::pair<std::string, std::optional<int32_t>> cases[] = {
      {"0", 0},
      {"12", 12},
      {"-1", -1},
      {"+7", 7},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"+-1", std::nullopt},
      {"1a", std::nullopt},
      {" 1", std::nullopt},
      {"0x10", std::nullopt},
      {"1.0", std::nullopt},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(ParseInt32(text), value) << text;
}

TEST(Fields, MissingAndNonIntegerFieldsNameWhatWentWrong) {
  const Fields fields{"S_CONNECT", "abc"};
  EXPECT_EQ(FieldAt(fields, 1), "abc");
  try {
    FieldAt(fields, 2);
    ADD_FAILURE() << "a missing field must throw";
  } catch (const FieldError& e) {
    // "リストのインデックスが範囲を超えています (2)" in code page 932.
    EXPECT_EQ(std::string(e.what()), MissingFieldText(2));
    EXPECT_NE(std::string(e.what()).find(" (2)"), std::string::npos);
  }
  try {
    IntegerAt(fields, 1);
    ADD_FAILURE() << "a non-integer must throw";
  } catch (const FieldError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("'abc' ", 0), 0u);
  }
  EXPECT_EQ(CommaTextFrom(Fields{"K", "a b", "c"}, 1), "\"a b\",c");
  EXPECT_EQ(CommaTextFrom(Fields{"K"}, 1), "");
  EXPECT_EQ(SplitCommaText(CommaTextFrom(Fields{"K", "", "x"}, 1)), (Fields{"", "x"}));
}

}  // namespace
}  // namespace gorvane
