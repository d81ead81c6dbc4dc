// SPDX-License-Identifier: GPL-3.0-or-later
// The planner's clicks in set-up turns, pressed on a real game room: what
// the room then sends is what the planner meant to play.
#include "bot/turn_planner.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "../client/game_fakes.h"

namespace gorvane::bot {
namespace {

std::string CardList() {
  const std::map<int, std::string> cards = {
      {1, "c1 L Path 0 0 10"},  {2, "c2 L Road 0 0 20"},   {3, "c3 F Squire 0 1 2"},
      {4, "c4 H Orc 0 1 8"},    {5, "c5 U Ghoul 0 1 6"},   {6, "c6 C Priest 0 1 0"},
      {7, "c7 P Detour 0 0 0"}, {8, "c8 O Pit 0 0 0"},     {9, "c9 T Rogue 0 1 1"},
      {10, "c10 E Elf 0 1 3"},  {11, "c11 F Hero 0 3 3"},  {12, "c12 W Dragon 0 1 20"},
      {13, "c13 S Bolt 0 2 1"}, {58, "c58 S Charm 0 1 0"},
  };
  std::string text;
  for (int n = 1; n <= 60; ++n) {
    const auto it = cards.find(n);
    text += (it != cards.end() ? it->second : "f W Filler 0 0 9") + "\r\n";
  }
  return text;
}

class Planner : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  // A new window and a new planner: a case of a table starts afresh.
  void Reset() {
    fixture = std::make_unique<testing::RoomFixture>();
    planner = std::make_unique<TurnPlanner>(f().catalogue);
    testing::LoadCards(f().catalogue, CardList());
    f().room.createPartyList("3:1:Lead,5:0:Me,7:0:Third");
    f().room.RefreshPartyList();
  }
  testing::RoomFixture& f() { return *fixture; }
  // The own turn with this hand, one card drawn.
  void Turn(const std::string& hand, int32_t drawn) {
    f().room.GetHand(hand);
    f().room.DispatchReady();
    Press();
    f().room.DrowCard(drawn);
    f().commands.sent.clear();
  }
  // Asks the planner and makes its click as a user would; what was sent.
  std::string Press() {
    const auto click = planner->Next(f().room, f().myId);
    if (!click) return "(nothing)";
    for (size_t row = 0; row < f().room.screen().handList.size(); ++row) f().room.HandListSelect(row, false);
    for (const size_t row : click->handRows) f().room.HandListSelect(row, true);
    f().room.MemberListSelect(click->memberRow);
    f().room.CharmBoxSelect(0, click->charmBox);
    const size_t before = f().commands.sent.size();
    switch (click->button) {
      case Button::kDraw:
        f().room.Button1Click();
        break;
      case Button::kPlay:
        f().room.Button3Click();
        break;
      case Button::kPile:
        f().room.Button4Click();
        break;
      case Button::kTurnEnd:
        f().room.Button2Click();
        break;
    }
    const bool sent = f().commands.sent.size() > before;
    planner->Clicked(*click, sent);
    return sent ? f().commands.sent.back() : "(refused)";
  }
  void Answer(const std::string& message) { planner->Observe(message, f().room, f().myId); }

  std::unique_ptr<testing::RoomFixture> fixture;
  std::unique_ptr<TurnPlanner> planner;
};

TEST_F(Planner, PlaysWhatTheTurnCallsFor) {
  struct Case {
    const char* what;
    std::string hand;
    int32_t drawn;
    int32_t monster;  // attached before the turn; -1 for none
    std::string expected;
  };
  const Case cases[] = {
      {"the longest corridor first", "1 2 3", 3, -1, "P_PLAY 5 2"},
      {"a monster before walking on", "1 5", 3, -1, "P_PLAY 7 5"},
      {"a fight the strongest card wins", "3 11 6", 9, 4, "P_PLAY 5 11"},
      {"several cards when one is not enough", "3 9 11", 6, 12, "P_PLAY 5 3 9 11"},
      {"no detour without a corridor laid: the cleric", "3 7 6", 9, 12, "P_PLAY 5 6"},
      {"a cleric rather than a hopeless fight", "3 6", 9, 12, "P_PLAY 5 6"},
      {"spells only beside a caster", "13 3", 9, 12, "P_PLAY 5 3 9"},
      {"a spell beside an elf", "13 10", 9, 12, "P_PLAY 5 13 10 9"},
      {"the charm with its caster against a humanoid", "58 10 11", 9, 4, "P_PLAY 5 58 10"},
      {"no charm against other monsters", "58 10", 9, 5, "P_PLAY 5 10 9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    f().room.roster().Find(7)->distance = 50;
    f().room.roster().Find(3)->distance = 30;
    if (c.monster != -1) f().room.DispatchTargetPlay(3, c.monster);
    Turn(c.hand, c.drawn);
    EXPECT_EQ(Press(), c.expected);
  }
}

TEST_F(Planner, DetoursWhenACorridorIsLaid) {
  f().room.GetHand("1 3 7 6");
  f().room.DispatchReady();
  Press();
  f().room.DrowCard(9);
  EXPECT_EQ(Press(), "P_PLAY 5 1");
  f().room.DispatchPlayed("");
  Answer("S_PLAYED");
  f().room.DispatchTargetPlay(3, 12);  // a monster while still in the turn
  EXPECT_EQ(Press(), "P_PLAY 5 7");
}

TEST_F(Planner, RevivesAfterALostFightOnlyOnce) {
  for (const auto& [hand, revival] : std::vector<std::pair<std::string, std::string>>{
           {"11 6 3", "P_PLAY 5 11 6"},  // the wounded card above the cleric
           {"6 11 3", "P_PLAY 5 6 11"},  // the cleric above the wounded
       }) {
    SCOPED_TRACE(hand);
    Reset();
    f().room.DispatchTargetPlay(3, 4);
    Turn(hand, 1);
    ASSERT_EQ(Press(), "P_PLAY 5 11");
    f().room.DispatchPlayed("1,1,1");  // 3 and the Hero's 3 against 8: lost
    Answer("S_PLAYED");
    EXPECT_EQ(Press(), revival);
    f().room.DispatchPlayed("");
    Answer("S_PLAYED");
    // The revived Hero fights again; lost again, there is no second revival.
    EXPECT_EQ(Press(), "P_PLAY 5 11");
    f().room.DispatchPlayed("1,1,1");
    Answer("S_PLAYED");
    EXPECT_EQ(Press(), "P_PLAY 5 3");
  }
}

TEST_F(Planner, SendsTheCharmedMonsterToAMemberWhoCanTakeIt) {
  f().room.roster().Find(3)->monster = 5;  // Lead already carries one
  Turn("1 3", 9);
  f().room.state().charmedMonster = 4;
  f().room.screen().charmBox.Append("Orc(8)");
  EXPECT_EQ(Press(), "P_PLAY 7 4");
}

TEST_F(Planner, LeavesOutMembersWhoAreBackOut) {
  Answer("S_OREACHED,7");
  Turn("5 1", 3);
  EXPECT_EQ(Press(), "P_PLAY 3 5");
}

TEST_F(Planner, DiscardsTheLeastUsefulCards) {
  struct Case {
    const char* what;
    std::string hand;
    int32_t drawn;
    std::string expected;
  };
  const Case cases[] = {
      {"a trap takes a thief alone", "1 9 2 3", 8, "P_PILE 9 "},
      {"a trap takes a short hand whole", "1 2", 8, "P_PILE 1 2 "},
      {"a trap takes three cards, monsters first", "4 1 5 2 12", 8, "P_PILE 4 5 12 "},
      {"down to seven, monsters first", "1 2 1 2 4 5 3 10", 12, "P_PILE 4 5 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    f().room.DispatchTargetPlay(3, 12);  // nothing to play: straight to the discard
    Turn(c.hand, c.drawn);
    std::string sent = Press();
    // With a monster attached and fighters in hand the planner fights first.
    while (sent.rfind("P_PLAY", 0) == 0) {
      f().room.DispatchUnplayed();
      Answer("S_UNPLAYED,1");
      sent = Press();
    }
    EXPECT_EQ(sent, c.expected);
    f().room.DispatchPiled(0);
    Answer("S_PILED");
    EXPECT_EQ(Press(), "P_TURNEND *");
  }
}

TEST_F(Planner, DoesNothingOutsideTheOwnTurn) {
  EXPECT_EQ(Press(), "(nothing)");
  Turn("1 2", 3);
  f().room.DispatchTurnend(5);
  Answer("S_TURNEND,5");
  EXPECT_EQ(Press(), "(nothing)");
}

TEST_F(Planner, GivesUpOnPlaysTheServerRefuses) {
  Turn("1 2", 3);
  for (const char* expected : {"P_PLAY 5 2", "P_PLAY 5 1"}) {
    EXPECT_EQ(Press(), expected);
    f().room.DispatchUnplayed();
    Answer("S_UNPLAYED,1");
  }
  EXPECT_EQ(Press(), "P_TURNEND *");
  EXPECT_EQ(planner->counts().unplayed, 2);
}

}  // namespace
}  // namespace gorvane::bot
