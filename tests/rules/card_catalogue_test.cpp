// SPDX-License-Identifier: GPL-3.0-or-later
#include "rules/card_catalogue.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "card_fakes.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane {
namespace {

using testing::FakeDebugLog;
using testing::FakeErrorBox;
using testing::TempFile;

std::string U(std::string_view utf8) { return sjis::Text(utf8); }

// n lines of plain corridor cards, each ending with CR LF.
std::string CorridorLines(int n) {
  std::string bytes;
  for (int k = 1; k <= n; ++k) bytes += "c" + std::to_string(k) + " L Way" + std::to_string(k) + " 0 0 5\r\n";
  return bytes;
}

TEST(CardText, NameDiceValueAndTagOfEveryKind) {
  struct Case {
    std::string line;
    std::string text;
  };
  const Case cases[] = {
      {"f F Hero 0 2 1", U("Hero(2D+1)[戦士]")},
      {"l L Hall 0 0 10", "Hall(10)"},
      {"h H Orc 0 1 0", "Orc(1D)<Humanoid>"},
      {"d D Dig 0 0 0", U("Dig[ドワーフ]")},
      {"e E Bow 0 3 0", U("Bow(3D)[エルフ]")},
      {"m M Mage 0 0 5", U("Mage(5)[魔術師]")},
      {"t T Rogue 0 1 -1", U("Rogue(1D+-1)[シーフ]")},
      {"s S Bolt 0 2 3", U("Bolt(2D+3)[呪文]")},
      {"u U Bones 0 0 12", "Bones(12)<Undead>"},
      {"c C Monk 0 1 0", "Monk(1D)"},
      {"p P Back 0 0 0", "Back"},
      {"o O Pit 0 0 4", "Pit(4)"},
      {"w W Rat 0 0 6", "Rat(6)"},
      {"x x Odd 0 1 1", "Odd(1D+1)"},
      {"h h Low 0 0 0", "Low"},
      {"k Lx Long 0 0 7", "Long(7)"},
      {U("j H ゴブリン 0 0 4"), U("ゴブリン(4)<Humanoid>")},
      {"n F \"Sir Knight\" 9 -2 0", U("Sir Knight(-2D)[戦士]")},
  };
  std::string bytes;
  for (const Case& c : cases) bytes += c.line + "\r\n";
  CardCatalogue catalogue;
  testing::LoadCards(catalogue, bytes);
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(catalogue.CardText(static_cast<int32_t>(i + 1)), cases[i].text) << cases[i].line;
  }
  // Numbers that are not cards, and cards the file did not reach, are blank.
  for (int32_t number : {0, -1, static_cast<int32_t>(std::size(cases) + 1), 200, 201, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(catalogue.CardText(number), "") << number;
    EXPECT_EQ(catalogue.Card(number).kind, 0) << number;
  }
}

TEST(LoadCardList, FileFormatAndRejectedLines) {
  struct Case {
    const char* what;
    std::string bytes;
    int loaded;       // cards 1..loaded carry their line; the rest are blank
    std::string box;  // the error box after the path, or empty for none
  };
  const Case cases[] = {
      {"CR LF", "a L A 0 0 1\r\nb L B 0 0 2\r\nc L C 0 0 3\r\n", 3, ""},
      {"LF", "a L A 0 0 1\nb L B 0 0 2\nc L C 0 0 3\n", 3, ""},
      {"CR", "a L A 0 0 1\rb L B 0 0 2\rc L C 0 0 3\r", 3, ""},
      {"mixed, no final break", "a L A 0 0 1\rb L B 0 0 2\r\nc L C 0 0 3", 3, ""},
      {"commas and blanks", "a,L,A,0,0,1\r\nb , L ,B, 0 ,0 , 2\r\nc L C 0 0 3 extra fields\r\n", 3, ""},
      {"short line", "a L A 0 0 1\r\nb L B 0 0 2\r\nc L C 0 0\r\nd L D 0 0 4\r\n", 2,
       U(" の 3 行目: ") + MissingFieldText(5)},
      {"non-integer", "a L A 0 0 1\r\nb L B 0 x 2\r\nc L C 0 0 3\r\n", 1,
       U(" の 2 行目: ") + NotAnIntegerText("x")},
      {"name with an unquoted blank", "a L A 0 0 1\r\nb L Long Way 0 0 2\r\n", 1,
       U(" の 2 行目: ") + NotAnIntegerText("Way")},
      {"empty kind", "a L A 0 0 1\r\nb \"\" B 0 0 2\r\nc L C 0 0 3\r\n", 1,
       U(" の 2 行目: カードの種類が空です")},
      {"empty line", "a L A 0 0 1\r\n\r\nc L C 0 0 3\r\n", 1, U(" の 2 行目: ") + MissingFieldText(0)},
      {"empty file", "", 0, ""},
      // A NUL byte separates like a blank; splitting once stopped at it for good.
      {"NUL in a line", std::string("a L A 0 0 1\r\nb L B\0x 0 0 2\r\n", 28), 1,
       U(" の 2 行目: ") + NotAnIntegerText("x")},
  };
  for (const Case& c : cases) {
    TempFile file(c.bytes);
    CardCatalogue catalogue;
    FakeErrorBox errors;
    FakeDebugLog log;
    catalogue.LoadCardList(file.path(), errors, log);
    if (c.box.empty()) {
      EXPECT_TRUE(errors.shown.empty()) << c.what;
    } else {
      EXPECT_EQ(errors.shown, std::vector<std::string>{file.path() + c.box}) << c.what;
    }
    EXPECT_TRUE(log.lines.empty()) << c.what;
    for (int k = 1; k <= 4; ++k) {
      const card_t& card = catalogue.Card(k);
      if (k <= c.loaded) {
        EXPECT_EQ(card.name, std::string(1, static_cast<char>('A' + k - 1))) << c.what << " card " << k;
        EXPECT_EQ(card.kind, 'L') << c.what << " card " << k;
        EXPECT_EQ(card.value, k) << c.what << " card " << k;
      } else {
        EXPECT_EQ(card.name, "") << c.what << " card " << k;
        EXPECT_EQ(card.kind, 0) << c.what << " card " << k;
      }
    }
  }
}

TEST(LoadCardList, EveryFieldAndQuotedNames) {
  CardCatalogue catalogue;
  testing::LoadCards(catalogue,
                     "id-1 Hx \"A B\" -3 +2 -7\r\n"
                     "id-2 S \"say \"\"hi\"\"\" 1 1 1\r\n" +
                         U("id-3 W \"大地の 怒り\" 0 0 9\r\n"));
  const card_t& first = catalogue.Card(1);
  EXPECT_EQ(first.ident, "id-1");
  EXPECT_EQ(first.kind, 'H');
  EXPECT_EQ(first.name, "A B");
  EXPECT_EQ(first.aux, -3);
  EXPECT_EQ(first.dice, 2);
  EXPECT_EQ(first.value, -7);
  EXPECT_EQ(catalogue.Card(2).name, "say \"hi\"");
  EXPECT_EQ(catalogue.Card(3).name, U("大地の 怒り"));
}

TEST(LoadCardList, AnUnreadableFileLeavesABlankCatalogue) {
  CardCatalogue catalogue;
  testing::LoadCards(catalogue, "a L A 0 0 1\r\n");
  ASSERT_EQ(catalogue.Card(1).name, "A");

  const std::string missing =
      (std::filesystem::temp_directory_path() / "gorvane_no_such_dir" / "cards.txt").string();
  const std::string directory = std::filesystem::temp_directory_path().string();
  for (const std::string& path : {missing, directory}) {
    FakeErrorBox errors;
    FakeDebugLog log;
    catalogue.LoadCardList(path, errors, log);
    EXPECT_EQ(errors.shown, std::vector<std::string>{path + U(" を開けません")});
    EXPECT_EQ(catalogue.Card(1).name, "") << path;
    EXPECT_EQ(catalogue.CardText(1), "") << path;
  }
}

TEST(LoadCardList, LinesPastTheLastCardAreIgnoredWithANote) {
  TempFile file(CorridorLines(203));
  CardCatalogue catalogue;
  FakeErrorBox errors;
  FakeDebugLog log;
  catalogue.LoadCardList(file.path(), errors, log);
  EXPECT_TRUE(errors.shown.empty());
  EXPECT_EQ(catalogue.Card(200).name, "Way200");
  EXPECT_EQ(catalogue.Card(201).name, "");
  EXPECT_EQ(log.lines,
            std::vector<std::string>{"LoadCardList: " + file.path() + ": 3 lines after card 200 ignored"});

  // Exactly 200 lines is a full list, not an overlong one.
  TempFile full(CorridorLines(200));
  FakeDebugLog quiet;
  catalogue.LoadCardList(full.path(), errors, quiet);
  EXPECT_TRUE(quiet.lines.empty());
  EXPECT_EQ(catalogue.Card(200).name, "Way200");
}

TEST(ShippedCardList, TwoHundredPlayableCards) {
  const std::string path = std::string(GORVANE_DATA_DIR) + "/longcardlist.txt";
  CardCatalogue catalogue;
  FakeErrorBox errors;
  FakeDebugLog log;
  catalogue.LoadCardList(path, errors, log);
  EXPECT_EQ(errors.shown, std::vector<std::string>{});
  EXPECT_TRUE(log.lines.empty());
  EXPECT_EQ(catalogue.Card(kCharmCard).kind, 'S');
  EXPECT_EQ(catalogue.Card(kCharmCard).name, U("チャーム"));
  EXPECT_EQ(catalogue.Card(kSleepCard).kind, 'S');
  const std::set<char> kinds = {'C', 'D', 'E', 'F', 'M', 'T', 'S', 'H', 'U', 'W', 'L', 'P', 'O'};
  for (int32_t n = 1; n <= kCardCount; ++n) {
    const card_t& card = catalogue.Card(n);
    EXPECT_NE(card.name, "") << n;
    EXPECT_NE(catalogue.CardText(n), "") << n;
    EXPECT_TRUE(kinds.count(card.kind)) << n << " kind " << card.kind;
    // A corridor lays distance and a monster has strength to beat.
    if (card.kind == 'L' || card.kind == 'H' || card.kind == 'U' || card.kind == 'W') {
      EXPECT_GT(card.value, 0) << n;
    }
  }
}

}  // namespace
}  // namespace gorvane
