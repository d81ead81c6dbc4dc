// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/lobby/names.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "spine/sjis.h"

namespace gorvane::server {
namespace {

// Each refused form, in the widths and cases that show alike, and the
// accepted neighbours that must not be caught with them.
TEST(Names, OneRuleForEveryFormThatPassesForSomebodyElse) {
  const std::set<std::string> joined = {NameKey("alice"), NameKey(sjis::Text("マジュツシ"))};
  const NameTaken taken = [&](const std::string& key) { return joined.count(key) > 0; };
  struct Row {
    const char* utf8;
    NameRefusal want;
  } rows[] = {
      {"", NameRefusal::kEmpty},           {"al\"ice", NameRefusal::kQuote},
      {"bob> hi", NameRefusal::kSpeaker},  {"bob＞ hi", NameRefusal::kSpeaker},
      {"SYS", NameRefusal::kSystem},       {"sys: 管理者", NameRefusal::kSystem},
      {"ＳＹＳ：", NameRefusal::kSystem},  {" SyS:x", NameRefusal::kSystem},
      {"ALICE", NameRefusal::kTaken},      {"ａｌｉｃｅ", NameRefusal::kTaken},
      {"ﾏｼﾞｭﾂｼ", NameRefusal::kTaken},     {"sysop", NameRefusal::kNone},
      {"SYS-admin", NameRefusal::kNone},   {"alice2", NameRefusal::kNone},
      {"魔術師", NameRefusal::kNone},      {"аlice", NameRefusal::kTaken},
      {"ΑLΙCΕ", NameRefusal::kTaken},      {"ａｌｉｃｅ　", NameRefusal::kTaken},
      {"bob〉 hi", NameRefusal::kSpeaker}, {"SΥS: サーバ管理者", NameRefusal::kSystem},
      {"СYS", NameRefusal::kNone},         {"ＳＹＳ", NameRefusal::kSystem},
      {"SYS２", NameRefusal::kNone},       {"Ｓys：", NameRefusal::kSystem},
      {"SУS", NameRefusal::kSystem},       {"SYS:", NameRefusal::kSystem},
      {"　SYS", NameRefusal::kSystem},     {"SYSΤ", NameRefusal::kNone},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(CheckName(sjis::Text(row.utf8), taken), row.want) << row.utf8;
  }
}

// Bytes that show differently on every machine, or not at all, are no name;
// the valid rows beside them are.
TEST(Names, UserDefinedCharactersAndInvalidBytesAreRefused) {
  const NameTaken never = [](const std::string&) { return false; };
  const struct {
    std::string bytes;
    NameRefusal want;
  } rows[] = {
      {"a\xF0\x40", NameRefusal::kUnshown},  // the first user-defined character
      {"\xF9\xFC"
       "b",
       NameRefusal::kUnshown},  // the last
      {"\xF5\x80", NameRefusal::kUnshown},
      {"\xEA\xA4", NameRefusal::kNone},     // the last kanji before them
      {"\xFA\x40", NameRefusal::kNone},     // the IBM row after them
      {"\x85\x40", NameRefusal::kUnshown},  // an empty row of the table
      {"a\xA0", NameRefusal::kUnshown},
      {"a\xFD", NameRefusal::kUnshown},
      {"a\x81", NameRefusal::kUnshown},     // a lead byte without its trail
      {"\x81\x7F", NameRefusal::kUnshown},  // a trail byte no pair has
      {"\xB1\xDF", NameRefusal::kNone},     // half-width katakana
  };
  for (const auto& row : rows) EXPECT_EQ(CheckName(row.bytes, never), row.want) << row.bytes;
}

// What the argument leaves as the name: blanks at either end go, ASCII or
// ideographic, before and after the cut to 64 bytes.
TEST(Names, BlanksAtEitherEndAreTrimmed) {
  const std::string sixtyTwo(62, 'a');
  const std::string sixtyThree(63, 'a');
  const struct {
    std::string argument, name;
  } rows[] = {
      {" alice ", "alice"},
      {sjis::Text("　アリス　 "), sjis::Text("アリス")},
      {sjis::Text("ア　リ ス"), sjis::Text("ア　リ ス")},
      {std::string(100, ' ') + "bob", "bob"},
      {sixtyThree + " bob", sixtyThree},
      {sixtyTwo + sjis::Text("　x"), sixtyTwo},
      {"\x01 \x02"
       "bob",
       "bob"},
      {sjis::Text("　　"), ""},
      {"\x81", ""},  // no blank: a lead byte the cleaning drops
  };
  for (const auto& row : rows) EXPECT_EQ(CleanName(row.argument), row.name) << row.argument;
}

// Each lookalike that is no Latin letter, beside the name it passes for and
// a neighbour that really differs.
TEST(Names, LookalikesFoldAndTheirNeighboursStayApart) {
  const struct {
    const char* name;
    const char* lookalike;
    const char* neighbour;
  } rows[] = {
      {"カイト", "力イト", "ガイト"},
      {"エリカ", "工リカ", "ヱリカ"},
      {"ロン", "口ン", "ワン"},
      {"ニコ", "二コ", "ニロ"},
      {"ミキ", "三キ", "ミチ"},
      {"ハル", "八ル", "パル"},
      {"トム", "卜ム", "ドム"},
      {"タロウ", "夕ロウ", "ダロウ"},
      {"オト", "才ト", "オド"},
      {"ヘイ", "へイ", "ベイ"},
      {"ベル", "べル", "ヘル"},
      {"ペン", "ぺン", "ベン"},
      {"ルーク", "ル一ク", "ルク"},
      {"ルーク", "ル‐ク", "ル~ク"},
      {"ルーク", "ル―ク", "ル＿ク"},
      {"ルーク", "ル─ク", "ル＝ク"},
      {"ルーク", "ル━ク", "ル・ク"},
      {"ルーク", "ルｰク", "ル～ク"},
      {"ルーク", "ル-ク", "ル゛ク"},
      {"ルーク", "ル－ク", "ル々ク"},
      {"al ice", "al　ice", "alice"},
      {"al ice", "al 　 ice", "al_ice"},
      {"alice", " alice", "a lice"},
      {"Ivan", "Ⅰvan", "Evan"},
      {"ivan", "ⅰvan", "jvan"},
      {"Vic", "Ⅴic", "Uic"},
      {"vic", "ⅴic", "wic"},
      {"Xu", "Ⅹu", "Yu"},
      {"xu", "ⅹu", "zu"},
      {"3ko", "Зko", "8ko"},
      {"3ko", "зko", "Eko"},
      {"Γ", "Г", "Τ"},
      {"Π", "П", "Η"},
      {"Φ", "Ф", "Θ"},
      {"φ", "ф", "θ"},
      {"bob>", "bob〉", "bob》"},
  };
  for (const auto& row : rows) {
    const std::string key = NameKey(sjis::Text(row.name));
    EXPECT_EQ(NameKey(sjis::Text(row.lookalike)), key) << row.lookalike;
    EXPECT_NE(NameKey(sjis::Text(row.neighbour)), key) << row.neighbour;
  }
}

// Every Latin letter, and the letters of each script in code page 932 that
// pass for it: every Cyrillic and Greek letter is checked, so a letter that
// ought to fold and does not, or one folded that should stay, fails.
TEST(Names, TheWholeLatinAlphabetInEachLookalikeScript) {
  const struct {
    char latin;
    const char* cyrillic;
    const char* greek;
  } rows[] = {
      {'a', "Аа", "Α"},  {'b', "Вь", "Β"}, {'c', "Сс", ""}, {'d', "", ""},     {'e', "Ее", "Ε"},
      {'f', "", ""},     {'g', "", ""},    {'h', "Н", "Η"}, {'i', "", "Ιι"},   {'j', "", ""},
      {'k', "Кк", "Κκ"}, {'l', "", ""},    {'m', "М", "Μ"}, {'n', "", "Ν"},    {'o', "Оо", "Οο"},
      {'p', "Рр", "Ρρ"}, {'q', "", ""},    {'r', "", ""},   {'s', "", ""},     {'t', "Т", "Τ"},
      {'u', "", "υ"},    {'v', "", "ν"},   {'w', "", "ω"},  {'x', "Хх", "Χχ"}, {'y', "Уу", "Υ"},
      {'z', "", "Ζ"},
  };
  // The other Cyrillic letters that pass for something: a digit, a Greek letter.
  const std::map<std::string, std::string> others = {{"З", "3"}, {"з", "3"}, {"Г", "Γ"},
                                                     {"П", "Π"}, {"Ф", "Φ"}, {"ф", "φ"}};
  std::map<std::string, std::string> passesFor = others;
  for (const auto& row : rows) {
    const std::string latin(1, row.latin);
    // Both cases and both widths of the letter itself.
    const std::string upper(1, static_cast<char>(row.latin - 'a' + 'A'));
    for (const std::string& form : {latin, upper, sjis::Text(sjis::ToUtf8(latin)), upper}) {
      EXPECT_EQ(NameKey(form), latin) << form;
    }
    std::string wide;
    sjis::AppendUtf8(wide, static_cast<char32_t>(0xFF41 + (row.latin - 'a')));
    EXPECT_EQ(NameKey(sjis::Text(wide)), latin) << wide;
    wide.clear();
    sjis::AppendUtf8(wide, static_cast<char32_t>(0xFF21 + (row.latin - 'a')));
    EXPECT_EQ(NameKey(sjis::Text(wide)), latin) << wide;
    for (const std::string_view letters : {std::string_view(row.cyrillic), std::string_view(row.greek)}) {
      for (size_t at = 0; at < letters.size();) {
        const size_t from = at;
        sjis::NextUtf8(letters, at);
        passesFor[std::string(letters.substr(from, at - from))] = latin;
      }
    }
  }
  const std::u32string_view scripts[] = {U"АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ",
                                         U"абвгдеёжзийклмнопрстуфхцчшщъыьэюя", U"ΑΒΓΔΕΖΗΘΙΚΛΜΝΞΟΠΡΣΤΥΦΧΨΩ",
                                         U"αβγδεζηθικλμνξοπρστυφχψω"};
  size_t checked = 0;
  for (const std::u32string_view script : scripts) {
    for (const char32_t c : script) {
      std::string letter;
      sjis::AppendUtf8(letter, c);
      const auto found = passesFor.find(letter);
      EXPECT_EQ(NameKey(sjis::Text(letter)), found == passesFor.end() ? letter : found->second) << letter;
      ++checked;
    }
  }
  EXPECT_EQ(checked, 33u + 33u + 24u + 24u);
}

// The server speaks its own chat lines under a name nobody may join as.
TEST(Names, TheServersSpeakerIsNobodysName) {
  const NameTaken never = [](const std::string&) { return false; };
  EXPECT_EQ(CheckName(std::string(kServerSpeaker), never), NameRefusal::kSystem);
}

TEST(Names, HalfWidthKanaFoldsWithItsVoicedMarks) {
  EXPECT_EQ(NameKey(sjis::Text("ｶﾞﾄﾞﾂﾞﾊﾟｳﾞ")), NameKey(sjis::Text("ガドヅパヴ")));
  EXPECT_NE(NameKey(sjis::Text("ｶﾞ")), NameKey(sjis::Text("カ")));
}

TEST(Names, ARefusedJoinGetsAUniqueUsableName) {
  std::set<std::string> joined = {NameKey("alice"), NameKey("alice2"), NameKey("player")};
  const NameTaken taken = [&](const std::string& key) { return joined.count(key) > 0; };
  struct Row {
    std::string asked;
    std::string want;
  } rows[] = {
      {"ALICE", "ALICE3"},
      {"bob> hi", "bob hi"},
      {"\"", "player2"},
      {"SYS: root", "player2"},
      {std::string(64, 'a'), std::string(64, 'a')},
  };
  for (const Row& row : rows) {
    const std::string name = UniqueName(row.asked, taken, 64);
    EXPECT_EQ(name, row.want) << row.asked;
    EXPECT_EQ(CheckName(name, taken), NameRefusal::kNone) << row.asked;
  }
  joined.insert(NameKey(std::string(64, 'a')));
  // The number still fits the limit: the name is cut to make room.
  EXPECT_EQ(UniqueName(std::string(64, 'a'), taken, 64), std::string(63, 'a') + "2");
}

}  // namespace
}  // namespace gorvane::server
