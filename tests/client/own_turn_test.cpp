// SPDX-License-Identifier: GPL-3.0-or-later
// The own turn through the game room: the server's answers and the player's
// clicks, with the four buttons at every step.
#include <gtest/gtest.h>

#include <memory>

#include "game_fakes.h"
#include "spine/sjis.h"

namespace gorvane {
namespace {

using testing::RoomFixture;

std::string U(std::string_view utf8) { return sjis::Text(utf8); }

struct Buttons {
  bool draw, play, pile, turnEnd;
  friend bool operator==(const Buttons&, const Buttons&) = default;
};

class OwnTurn : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::LoadCards(f.catalogue, testing::TestDeck());
    f.room.createPartyList("3:1:Lead,5:0:Me,7:0:Third");
    f.room.RefreshPartyList();
    f.commands.sent.clear();
  }
  Buttons Now() const {
    const GameScreen& s = f.room.screen();
    return {s.drawEnabled, s.playEnabled, s.pileEnabled, s.turnEndEnabled};
  }
  party_t& Own() { return *f.room.roster().ownMember(); }
  void Select(std::initializer_list<size_t> rows) {
    for (size_t row : rows) f.room.HandListSelect(row, true);
  }
  // Starts the turn with the hand given and draws one more card.
  void TurnWithHand(const std::string& hand, int32_t drawn) {
    f.room.GetHand(hand);
    f.room.DispatchReady();
    f.room.Button1Click();
    f.room.DrowCard(drawn);
  }
  std::string LastLine() const { return f.Lines().empty() ? "" : f.Lines().back(); }
  Rgb LastColour() const { return f.consoleView.lines.back().colour; }

  RoomFixture f;
};

TEST_F(OwnTurn, AWholeTurnWithTheButtonsOfEachMoment) {
  f.room.GetHand("1,3,4,6,7,9,10");
  EXPECT_EQ(Now(), (Buttons{false, false, false, false}));
  f.room.DispatchReady();
  EXPECT_TRUE(f.room.state().gameRunning);
  EXPECT_TRUE(Own().isTurn);
  EXPECT_EQ(LastLine(), U("SYS: あなたの手番です！"));
  EXPECT_EQ(Now(), (Buttons{true, false, false, false}));

  f.room.Button1Click();
  EXPECT_EQ(Now(), (Buttons{false, true, true, true}));
  f.room.DrowCard(2);
  EXPECT_EQ(Own().handCount, 8);
  EXPECT_EQ(f.room.state().playKind, PlayKind::NoPlay);

  // A corridor card.
  Select({0});
  f.room.Button3Click();
  f.room.DispatchPlayed("");
  EXPECT_EQ(f.room.screen().corridorList.rows(), std::vector<std::string>{"Path(10)"});
  EXPECT_EQ(Own().distance, 10);
  EXPECT_EQ(f.room.screen().distanceCaption, U("距離 = ") + "10");
  EXPECT_EQ(f.room.screen().handList.rows()[0], "[U] Path(10)");

  // A monster to member 3; the selection moves before the answer comes.
  f.room.MemberListSelect(0);
  Select({2});
  f.room.Button3Click();
  f.room.MemberListSelect(1);
  f.room.DispatchPlayed("");
  EXPECT_EQ(f.room.roster().Find(3)->monster, 4);
  EXPECT_EQ(Own().monster, -1);
  EXPECT_EQ(LastLine(), U("SYS: モンスターをはりつけました"));

  // Six unmarked cards left: no discard can keep seven.
  Select({1});
  f.room.Button4Click();
  EXPECT_EQ(LastLine(), U("SYS: その捨て方は出来ません．"));
  EXPECT_EQ(LastColour(), (Rgb{255, 0, 0}));
  EXPECT_EQ(Now(), (Buttons{false, true, true, true}));
  EXPECT_TRUE(f.room.screen().handList.Selection().empty());

  f.room.Button2Click();
  f.room.DispatchTurnend(3);
  EXPECT_EQ(Own().handCount, 8) << "another member's turn end changes nothing";
  f.room.DispatchTurnend(5);
  EXPECT_EQ(Now(), (Buttons{false, false, false, false}));
  EXPECT_EQ(Own().handCount, 6);
  EXPECT_EQ(f.room.state().handCards[0], 3);
  EXPECT_EQ(f.room.state().handCards[5], 2);
  EXPECT_EQ(f.commands.sent,
            (std::vector<std::string>{"P_DROW *", "P_PLAY 5 1", "P_PLAY 3 4", "P_TURNEND *"}));
}

TEST_F(OwnTurn, TrapsEmptyDrawsAndDiscards) {
  TurnWithHand("1,3,4,6,7,9,10,2", 8);
  EXPECT_TRUE(f.room.state().trapPending);
  EXPECT_EQ(Own().handCount, 8) << "a trap never enters the hand";
  EXPECT_EQ(LastLine(), U("SYS: トラップカードを引きました！！"));
  EXPECT_EQ(Now(), (Buttons{false, false, true, false}));

  // A single thief answers the trap.
  Select({5});
  f.room.Button4Click();
  EXPECT_EQ(f.commands.sent.back(), "P_PILE 9 ");
  EXPECT_EQ(Now(), (Buttons{false, false, false, true}));
  f.room.DispatchPiled(3);
  EXPECT_EQ(LastLine(), U("SYS: パイルに失敗しました．"));
  EXPECT_EQ(Now(), (Buttons{false, true, true, true}));
  EXPECT_EQ(f.room.screen().handList.rows()[5], U("Rogue(1D+1)[シーフ]")) << "the refused mark is gone";
  Select({5});
  f.room.Button4Click();
  f.room.DispatchPiled(0);
  EXPECT_EQ(Now(), (Buttons{false, false, false, true}));

  f.room.DrowCard(-1);
  EXPECT_EQ(LastLine(), U("SYS: ドローするカードがありませんでした．"));
  EXPECT_FALSE(f.room.state().trapPending);
  EXPECT_EQ(Now(), (Buttons{false, false, false, true}));
}

TEST_F(OwnTurn, FightsTotalEveryMarkedCardAndTiesWin) {
  const std::pair<const char*, const char*> cases[] = {
      {"1", "SYS: 撃退に成功しました！！"},  // 1 + 2 + 3 = 6 against 6
      {"0", "SYS: 撃退に失敗しました…．"},
  };
  for (const auto& [dice, line] : cases) {
    TurnWithHand("3,10,1,4,6,7,9", 2);
    Own().monster = 5;
    Select({0, 1});
    f.room.Button3Click();
    EXPECT_EQ(f.commands.sent.back(), "P_PLAY 5 3 10");
    f.room.DispatchPlayed(dice);
    EXPECT_EQ(f.Lines()[f.Lines().size() - 2], U("SYS: 攻撃ダイスの目は[") + dice + U("]でした．"));
    EXPECT_EQ(LastLine(), U(line));
    EXPECT_EQ(Own().monster, std::string(dice) == "1" ? -1 : 5);
    f.room.DispatchTurnend(5);
  }
}

TEST_F(OwnTurn, CharmedMonsterComesBackWhenTheSendIsRefused) {
  TurnWithHand("58,3,1,4,6,7,9", 2);
  Own().monster = 4;  // humanoid, value 8
  Select({0, 1});
  f.room.Button3Click();
  EXPECT_TRUE(f.room.state().charmCast);
  f.room.DispatchPlayed("6");  // 6 + 0 + 2 = 8
  EXPECT_EQ(f.room.screen().charmBox.rows(), std::vector<std::string>{"Orc(8)"});
  EXPECT_EQ(f.room.state().charmedMonster, 4);

  f.room.CharmBoxSelect(0, true);
  f.room.MemberListSelect(2);
  f.room.Button3Click();
  EXPECT_EQ(f.commands.sent.back(), "P_PLAY 7 4");
  EXPECT_TRUE(f.room.screen().charmBox.rows().empty());
  f.room.DispatchUnplayed();
  EXPECT_EQ(f.room.screen().charmBox.rows(), std::vector<std::string>{"Orc(8)"});

  f.room.CharmBoxSelect(0, true);
  f.room.Button3Click();
  f.room.DispatchPlayed("");
  EXPECT_EQ(f.room.roster().Find(7)->monster, 4);
  // Once sent it is gone: a later refused play does not bring it back.
  Select({2});
  f.room.Button3Click();
  f.room.DispatchUnplayed();
  EXPECT_TRUE(f.room.screen().charmBox.rows().empty());

  f.room.DispatchTurnend(5);
  EXPECT_FALSE(f.room.state().charmCast);
  EXPECT_EQ(f.room.state().charmedMonster, -1);
}

TEST_F(OwnTurn, AnyCharmBoxRowSendsTheHeldMonsterAndNeverANumberNotHeld) {
  struct Case {
    const char* what;
    std::vector<std::string> boxRows;  // the last game's row is kept by its reset
    int32_t charmed;                   // the monster held now, -1 for none
    size_t boxRow;                     // the row the player selects
    std::vector<size_t> handRows;
    std::optional<std::string> sent;
    std::string line;  // the red line when nothing is sent
  };
  const std::string general = U("SYS: そのようにカードを出すことは出来ません．");
  const Case cases[] = {
      {"the new row under the old one", {"Orc(8)", "Ghoul(6)"}, 5, 1, {}, "P_PLAY 7 5", ""},
      {"the old row above the new one", {"Orc(8)", "Ghoul(6)"}, 5, 0, {}, "P_PLAY 7 5", ""},
      {"only the old row, nothing held", {"Orc(8)"}, -1, 0, {}, std::nullopt, general},
      {"only the old row, with a corridor card", {"Orc(8)"}, -1, 0, {0}, "P_PLAY 5 1", ""},
  };
  for (const Case& c : cases) {
    f.room.DispatchTurnend(5);  // a clean box and hand for each case
    TurnWithHand("1,3,4,6,7,9,10", 2);
    for (const std::string& row : c.boxRows) f.room.screen().charmBox.Append(row);
    f.room.state().charmedMonster = c.charmed;
    f.room.CharmBoxSelect(c.boxRow, true);
    for (const size_t row : c.handRows) f.room.HandListSelect(row, true);
    f.room.MemberListSelect(2);
    f.commands.sent.clear();
    const size_t lines = f.Lines().size();
    f.room.Button3Click();
    EXPECT_EQ(f.commands.sent.empty() ? std::nullopt : std::optional(f.commands.sent.back()), c.sent)
        << c.what;
    if (!c.line.empty()) {
      EXPECT_EQ(LastLine(), c.line) << c.what;
      EXPECT_EQ(LastColour(), (Rgb{255, 0, 0})) << c.what;
    } else {
      EXPECT_EQ(f.Lines().size(), lines) << c.what;
    }
  }
}

TEST_F(OwnTurn, ARefusedPlayIsSaidInRed) {
  TurnWithHand("1,3,4,6,7,9,10", 2);
  Select({0});
  f.room.Button3Click();
  const size_t lines = f.Lines().size();
  f.room.DispatchUnplayed();
  ASSERT_EQ(f.Lines().size(), lines + 1);
  EXPECT_EQ(LastLine(), U("SYS: サーバがそのプレイを認めませんでした（ヘルプの「サーバのルール」を参照）．"));
  EXPECT_EQ(LastColour(), (Rgb{255, 0, 0}));
}

TEST_F(OwnTurn, UnplayedPutsMarksAndPlayKindBack) {
  TurnWithHand("1,3,4,6,7,9,10", 2);
  Select({0});
  f.room.Button3Click();
  EXPECT_EQ(f.room.state().playKind, PlayKind::Corridor);
  f.room.DispatchUnplayed();
  EXPECT_EQ(f.room.state().playKind, PlayKind::NoPlay);
  EXPECT_FALSE(f.room.state().usedMarks[0]);
  EXPECT_EQ(f.room.screen().handList.rows()[0], "Path(10)");
}

TEST_F(OwnTurn, DetourAndTheWayBack) {
  TurnWithHand("1,2,7,3,4,6,9", 10);
  Select({0});
  f.room.Button3Click();
  f.room.DispatchPlayed("");
  Select({1});
  f.room.Button3Click();
  f.room.DispatchPlayed("");
  EXPECT_EQ(Own().distance, 30);
  Own().monster = 5;
  Select({2});
  f.room.Button3Click();
  f.room.DispatchPlayed("");
  EXPECT_EQ(LastLine(), U("SYS: モンスターを回避しました．"));
  EXPECT_EQ(Own().distance, 10);
  EXPECT_EQ(Own().corridorCount, 1);
  EXPECT_EQ(Own().monster, -1);
  EXPECT_EQ(f.room.screen().corridorList.rows(), std::vector<std::string>{"Path(10)"});

  // The first accepted play in the treasure room starts the way back: the
  // card counts, then the list is cleared.
  f.room.DispatchTurnend(5);
  TurnWithHand("1,3,4,6,7,9,10", 2);
  Own().atTreasure = true;
  Select({0});
  f.room.Button3Click();
  f.room.DispatchPlayed("");
  EXPECT_EQ(Own().distance, 20);
  EXPECT_TRUE(Own().returning);
  EXPECT_FALSE(Own().atTreasure);
  EXPECT_EQ(Own().corridorCount, 0);
  EXPECT_TRUE(f.room.screen().corridorList.rows().empty());
  EXPECT_EQ(f.room.roster().Rows(f.catalogue)[1].columns[2], "@Room: 20");
}

TEST_F(OwnTurn, OverflowingHandAndCorridorAreDroppedNotWrittenPastTheEnd) {
  f.room.GetHand("1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1");
  f.room.DrowCard(2);
  EXPECT_EQ(Own().handCount, 16);
  EXPECT_NE(f.debugLog.lines.back().find("card 2 dropped"), std::string::npos);

  for (int i = 0; i < 32; ++i) {
    f.room.DrowCard(-1);  // a fresh play kind each time
    f.room.HandListSelect(0, true);
    f.room.state().usedMarks.fill(false);
    f.room.Button3Click();
    f.room.DispatchPlayed("");
  }
  EXPECT_EQ(f.room.screen().corridorList.size(), kCorridorRows);
  EXPECT_EQ(Own().corridorCount, static_cast<int32_t>(kCorridorRows));
}

}  // namespace
}  // namespace gorvane
