// SPDX-License-Identifier: GPL-3.0-or-later
// A three-member game seen from member 5: the other members' turns, the
// treasure room, the way out, the results and a second game.
#include <gtest/gtest.h>

#include "game_fakes.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane {
namespace {

using testing::RoomFixture;

std::string U(std::string_view utf8) { return sjis::Text(utf8); }

class GameFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::LoadCards(f.catalogue, testing::TestDeck());
    f.room.createPartyList("3:1:Ann,5:0:Me,8:0:Cid");
    f.room.GetHand("1,2,3,4,5,6,7");
    f.commands.sent.clear();
  }
  party_t& M(int32_t id) { return *f.room.roster().Find(id); }
  // The lines printed since the last call, without timestamps.
  std::vector<std::string> NewLines() {
    std::vector<std::string> lines = f.Lines();
    std::vector<std::string> fresh(lines.begin() + static_cast<std::ptrdiff_t>(seen_), lines.end());
    seen_ = lines.size();
    return fresh;
  }

  RoomFixture f;
  size_t seen_ = 0;
};

TEST_F(GameFlow, OtherMembersTurnsMirrorEveryReport) {
  f.room.DispatchOtherTurn(3);
  EXPECT_TRUE(f.room.state().gameRunning);
  EXPECT_TRUE(M(3).isTurn);
  EXPECT_EQ(NewLines(), std::vector<std::string>{U("SYS; Annさんのターンが開始しました．")});
  f.room.DispatchOtherDrowCard(3);
  f.room.DispatchOtheropen(3);
  EXPECT_EQ(M(3).handCount, 7) << "a draw and its trap leave the count";
  f.room.DispatchOtherPile(3, "9,10,3");
  EXPECT_EQ(M(3).handCount, 4);
  EXPECT_EQ(NewLines(),
            (std::vector<std::string>{
                U("SYS: Annさんがカードをドローしました．"), U("SYS: Annさんがトラップを引きました！"),
                U("SYS: Annさんが以下のカードを捨てました．"), U("SYS: Rogue(1D+1)[シーフ]"),
                U("SYS: Elf(1D+3)[エルフ]"), U("SYS: Knight(1D+2)[戦士]")}));

  // Corridor, then a monster to member 8 after a play: the count is kept.
  f.room.DispatchOtherPlay(3, 3, "2");
  EXPECT_EQ(M(3).distance, 20);
  EXPECT_EQ(M(3).corridorCount, 1);
  f.room.DispatchOtherPlay(3, 8, "5");
  EXPECT_EQ(M(8).monster, 5);
  EXPECT_EQ(M(3).handCount, 3);
  EXPECT_EQ(NewLines().back(), U("SYS: AnnさんがCidさんをGhoul(1D+6)<Undead>で攻撃しました．"));

  // Member 8 fights it off on a tie: bonus 3 + 2 + dice 1 = 6.
  f.room.DispatchOtherTurn(8);
  EXPECT_FALSE(M(3).isTurn);
  EXPECT_FALSE(M(3).playedThisTurn);
  f.room.DispatchOtherPlay(8, 8, "10,3");
  EXPECT_EQ(M(8).fightBonus, 5);
  f.room.DispatchOtherDice(8, "1");
  EXPECT_EQ(M(8).monster, -1);
  EXPECT_EQ(M(8).fightBonus, 0);
  EXPECT_EQ(NewLines().back(), U("SYS: 撃退に成功したようです．"));
  // A cleric revival of two cards leaves the count as it was.
  const int32_t before = M(8).handCount;
  f.room.DispatchOtherPlay(8, 8, "6,3");
  EXPECT_EQ(M(8).handCount, before);
  // Dice without a monster print and decide nothing.
  f.room.DispatchOtherDice(8, "4,4");
  EXPECT_EQ(NewLines().back(), U("SYS: Cidさんのダイス目は [4,4]でした"));
  // A detour with no corridor card takes nothing back.
  M(8).monster = 4;
  f.room.DispatchOtherPlay(8, 8, "7");
  EXPECT_EQ(M(8).monster, -1);
  EXPECT_EQ(M(8).distance, 0);
  EXPECT_EQ(M(8).corridorCount, 0);

  // Reports about the own player change nothing.
  const std::vector<party_t> snapshot = f.room.roster().members;
  NewLines();
  f.room.DispatchOtherDrowCard(5);
  f.room.DispatchOtheropen(5);
  f.room.DispatchOtherPlay(5, 5, "1");
  f.room.DispatchOtherPile(5, "1");
  f.room.DispatchOtherDice(5, "6");
  EXPECT_TRUE(NewLines().empty());
  EXPECT_EQ(f.room.roster().members.size(), snapshot.size());
  EXPECT_EQ(M(5).handCount, snapshot[1].handCount);
}

TEST_F(GameFlow, AMonsterSentToTheOwnPlayerIsShownAndFoughtOff) {
  f.room.DispatchOtherTurn(3);
  f.room.DispatchOtherPlay(3, 3, "1");  // a play first: the sender still loses the monster card
  f.room.DispatchTargetPlay(3, 4);
  EXPECT_EQ(M(5).monster, 4);
  EXPECT_EQ(f.room.screen().monsterText, U("Orc(1D+8)<Humanoid>"));
  EXPECT_EQ(M(3).handCount, 5);
  EXPECT_EQ(NewLines().back(), U("SYS: AnnさんがOrc(1D+8)<Humanoid>を送り込んできました!"));

  f.room.DispatchReady();
  f.room.Button1Click();
  f.room.DrowCard(10);
  f.room.HandListSelect(2, true);  // Knight, value 2
  f.room.HandListSelect(7, true);  // Elf, value 3
  f.room.Button3Click();
  EXPECT_EQ(f.commands.sent.back(), "P_PLAY 5 3 10");
  f.room.DispatchPlayed("3");  // 3 + 2 + 3 = 8: a tie wins
  EXPECT_EQ(M(5).monster, -1);
  EXPECT_TRUE(f.room.screen().monsterText.empty());
}

TEST_F(GameFlow, TreasureWayOutResultsAndASecondGame) {
  f.room.DispatchOtherTurn(8);
  f.room.DispatchOtherPlay(8, 8, "2");
  f.room.ReachTreasure(8, 500);
  EXPECT_TRUE(M(8).atTreasure);
  EXPECT_EQ(M(8).treasure, 500);
  EXPECT_EQ(NewLines().back(), U("SYS: Cidさんがトレジャールームに到着．"));
  f.room.DispatchOtherPlay(8, 8, "1");
  EXPECT_EQ(M(8).distance, 30);
  EXPECT_TRUE(M(8).returning);
  EXPECT_EQ(M(8).corridorCount, 0);
  EXPECT_EQ(f.room.roster().Rows(f.catalogue)[2].columns[2], "@Room: 30");

  f.room.ReachTreasure(5, 300);
  EXPECT_EQ(NewLines().back(), U("SYS: トレジャールームに到着．300ドルム発見！"));
  f.room.ICanGetBack(5);
  EXPECT_EQ(f.commands.sent, std::vector<std::string>{"P_TURNEND *"});
  f.room.ICanGetBack(8);
  EXPECT_EQ(f.commands.sent.size(), 1u);
  EXPECT_EQ(NewLines(), (std::vector<std::string>{U("SYS: 洞窟から帰還しました！おめでとう！"),
                                                  U("SYS: Cidさんが洞窟から脱出しました．")}));

  f.room.DispatchReady();
  f.room.Button1Click();
  const bool buttonsBefore = f.room.screen().playEnabled;
  M(8).monster = 4;
  NewLines();
  f.room.DispatchResult("3:300,5:0,8:300,9:50");
  const std::vector<std::string> lines = NewLines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], U("SYS: 結果発表！！"));
  EXPECT_EQ(lines[1], U("SYS: 第1位: Annさん (300ドルム)"));
  EXPECT_EQ(lines[2], U("SYS: 第1位: Cidさん (300ドルム)"));
  EXPECT_EQ(lines[3], U("SYS: 第2位: Error! No Such User!さん (50ドルム)"));
  EXPECT_EQ(lines[4], U("SYS: 第3位: Meさん (0ドルム)"));
  EXPECT_EQ(lines[5], U("SYS: 結果は以上です．"));
  for (const party_t& member : f.room.roster().members) {
    EXPECT_EQ(member.handCount, 7);
    EXPECT_EQ(member.distance, 0);
    EXPECT_EQ(member.monster, -1);
    EXPECT_FALSE(member.returning);
  }
  EXPECT_EQ(M(8).treasure, 500) << "the reset leaves the treasure";
  EXPECT_FALSE(f.room.state().gameRunning);
  EXPECT_TRUE(f.room.screen().startEnabled);
  EXPECT_EQ(f.room.screen().playEnabled, buttonsBefore) << "the results leave the buttons";

  // The next game starts from a clean state in the same window.
  f.room.GetHand("1,3,4,5,6,7,9");
  f.room.DispatchReady();
  f.room.Button1Click();
  f.room.DrowCard(2);
  f.room.HandListSelect(0, true);
  f.room.Button3Click();
  f.room.DispatchPlayed("");
  EXPECT_EQ(M(5).distance, 10);
  EXPECT_EQ(f.room.screen().corridorList.rows(), std::vector<std::string>{"Path(10)"});
}

TEST_F(GameFlow, ABadNumberInAReportStopsThereAndWhatCameBeforeStays) {
  enum class Report { kPlay, kDice, kPile };
  struct Case {
    Report report;
    int32_t player;
    int32_t target;
    std::string numbers;
    bool stops;  // a FieldError ends the handling
    std::vector<std::string> lines;
    int32_t monsterOf8;  // what member 8 carries afterwards
    int32_t handOf3;     // member 3's hand count afterwards
  };
  const Case cases[] = {
      // A monster sent on: only its first card is read, so the rest never stops it.
      {Report::kPlay,
       3,
       8,
       "5,x",
       false,
       {U("SYS: AnnさんがCidさんをGhoul(1D+6)<Undead>で攻撃しました．")},
       5,
       6},
      {Report::kPlay, 3, 8, "x,5", true, {}, -1, 7},
      // The own corridor or fight: the cards read before the bad one are listed.
      {Report::kPlay,
       3,
       3,
       "2,x,5",
       true,
       {U("SYS: Annさんが以下のカードをプレイしました．"), U("SYS: Road(20)")},
       -1,
       7},
      {Report::kDice, 3, 0, "4,x", true, {U("SYS: Annさんのダイス目は [4,x]でした")}, -1, 7},
      {Report::kPile,
       3,
       0,
       "9,x",
       true,
       {U("SYS: Annさんが以下のカードを捨てました．"), U("SYS: Rogue(1D+1)[シーフ]")},
       -1,
       7},
  };
  for (const Case& c : cases) {
    SetUp();
    f.room.DispatchOtherTurn(3);
    NewLines();
    const auto report = [&] {
      if (c.report == Report::kPlay) f.room.DispatchOtherPlay(c.player, c.target, c.numbers);
      if (c.report == Report::kDice) f.room.DispatchOtherDice(c.player, c.numbers);
      if (c.report == Report::kPile) f.room.DispatchOtherPile(c.player, c.numbers);
    };
    if (c.stops) {
      EXPECT_THROW(report(), FieldError) << c.numbers;
    } else {
      EXPECT_NO_THROW(report()) << c.numbers;
    }
    EXPECT_EQ(NewLines(), c.lines) << c.numbers;
    EXPECT_EQ(M(8).monster, c.monsterOf8) << c.numbers;
    EXPECT_EQ(M(3).handCount, c.handOf3) << c.numbers;
    EXPECT_EQ(M(3).distance, 0) << c.numbers;
  }
}

TEST_F(GameFlow, BadResultItemsStopBeforeAnythingIsPrinted) {
  for (const char* items : {"3:300,5", "3:300,x:1", "3:300,5:y"}) {
    NewLines();
    EXPECT_THROW(f.room.DispatchResult(items), FieldError) << items;
    EXPECT_TRUE(NewLines().empty()) << items;
  }
}

TEST_F(GameFlow, AMemberLeavingEndsTheGameForEveryone) {
  f.room.DispatchReady();
  f.room.Button1Click();
  f.room.DrowCard(2);
  f.room.DispatchQuitgame(8);
  EXPECT_EQ(NewLines().back(), U("SYS: Cidさんが脱退しました．ゲームを中断します．"));
  EXPECT_EQ(f.room.roster().Find(8), nullptr);
  const GameScreen& s = f.room.screen();
  EXPECT_FALSE(s.drawEnabled || s.playEnabled || s.pileEnabled || s.turnEndEnabled);
  EXPECT_TRUE(s.startEnabled) << "every member may start the next game";
  EXPECT_FALSE(f.room.state().gameRunning);
  EXPECT_TRUE(s.handList.rows().empty());

  // An unknown id still ends the game, without a line.
  f.room.DispatchOtherTurn(3);
  NewLines();
  f.room.DispatchQuitgame(42);
  EXPECT_TRUE(NewLines().empty());
  EXPECT_FALSE(f.room.state().gameRunning);
}

}  // namespace
}  // namespace gorvane
