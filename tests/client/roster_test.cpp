// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "game_fakes.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane {
namespace {

using testing::RoomFixture;

std::string U(std::string_view utf8) { return sjis::Text(utf8); }

std::vector<int32_t> Ids(const GameRoom& room) {
  std::vector<int32_t> ids;
  for (const party_t& m : room.roster().members) ids.push_back(m.id);
  return ids;
}

std::vector<std::string> Names(const GameRoom& room) {
  std::vector<std::string> names;
  for (const party_t& m : room.roster().members) names.push_back(m.name);
  return names;
}

std::optional<int32_t> OwnId(GameRoom& room) {
  const party_t* own = room.roster().ownMember();
  return own ? std::optional<int32_t>(own->id) : std::nullopt;
}

TEST(Roster, StartUpAsksForTheRoster) {
  RoomFixture f;
  EXPECT_EQ(f.commands.sent, std::vector<std::string>{"P_LIST *"});
  const GameScreen& screen = f.room.screen();
  EXPECT_TRUE(screen.startEnabled);
  EXPECT_FALSE(screen.drawEnabled || screen.playEnabled || screen.pileEnabled || screen.turnEndEnabled);
  EXPECT_EQ(screen.distanceCaption, U("移動距離 = 0"));
}

TEST(Roster, BuiltFromEachItemOfTheList) {
  struct Case {
    std::string text;
    int32_t myId;
    std::vector<int32_t> ids;
    std::vector<std::string> names;
    int32_t leader;
    bool startEnabled;
    std::optional<int32_t> own;
  };
  const Case cases[] = {
      {"3:1:A,5:0:B", 5, {3, 5}, {"A", "B"}, 3, false, 5},
      {"7:0:C,2:1:D", 2, {2, 7}, {"D", "C"}, 2, true, 2},
      {"5:2:A,6:0:B", 5, {5, 6}, {"A", "B"}, 0, false, 5},
      {"\"5:0:A B\"", 5, {5}, {"A"}, 0, false, 5},
      {"\"5:1:\"\"A B\"\"\"", 5, {5}, {"A B"}, 5, true, 5},
      {"5:1:X,4:0:Z,5:0:Y", 5, {4, 5}, {"Z", "Y"}, 5, true, 5},
      {"8:1:A", 5, {8}, {"A"}, 8, false, std::nullopt},
      {"-4:1:N,12:0:" + U("名前"), -4, {-4, 12}, {"N", U("名前")}, -4, true, -4},
  };
  for (const Case& c : cases) {
    auto f = std::make_unique<RoomFixture>();
    f->myId = c.myId;
    f->room.createPartyList(c.text);
    EXPECT_EQ(Ids(f->room), c.ids) << c.text;
    EXPECT_EQ(Names(f->room), c.names) << c.text;
    EXPECT_EQ(f->room.roster().leaderId, c.leader) << c.text;
    EXPECT_EQ(f->room.screen().startEnabled, c.startEnabled) << c.text;
    EXPECT_EQ(f->view.Redrew(GameView::kStartItem), !c.startEnabled) << c.text;
    EXPECT_EQ(OwnId(f->room), c.own) << c.text;
    for (const party_t& m : f->room.roster().members) EXPECT_EQ(m.handCount, 7) << c.text;
  }
}

TEST(Roster, ALaterListKeepsWhatItDoesNotName) {
  RoomFixture f;
  f.room.createPartyList("3:1:A,5:0:B");
  // No item with flag 1: the leader stays; naming the own user leader does
  // not give the start item back.
  f.room.createPartyList("3:0:A,5:0:B,9:0:C");
  EXPECT_EQ(f.room.roster().leaderId, 3);
  f.room.createPartyList("5:1:B");
  EXPECT_EQ(f.room.roster().leaderId, 5);
  EXPECT_FALSE(f.room.screen().startEnabled);
  // A list without the own id: the own record is gone with the old list.
  f.room.roster().ownMember()->handCount = 3;
  f.room.createPartyList("3:1:A");
  EXPECT_EQ(f.room.roster().ownMember(), nullptr);
  f.room.createPartyList("3:1:A,5:0:B");
  ASSERT_NE(f.room.roster().ownMember(), nullptr);
  EXPECT_EQ(f.room.roster().ownMember()->handCount, 7);
}

TEST(Roster, TracesEachItemInTheDebugLog) {
  RoomFixture f;
  f.room.createPartyList("3:1:A,\"5:0:\"\"B C\"\"\"");
  EXPECT_EQ(f.debugLog.lines, (std::vector<std::string>{"createPartyList: 3:1:A#13#10name = A",
                                                        "createPartyList: 5:0:\"B C\"#13#10name = B C"}));
}

TEST(Roster, AMalformedItemStopsTheList) {
  struct Case {
    std::string text;
    std::string error;
    std::vector<int32_t> ids;
  };
  const Case cases[] = {
      {"9:0:A,2:0:B,x:0:C,1:0:D", NotAnIntegerText("x"), {9, 2}},
      {"9:0:A,2:0:B,3:q:C", NotAnIntegerText("q"), {9, 2}},
      {"9:1:A,4:1", MissingFieldText(2), {9}},
      {"9:1:A,,3:0:C", MissingFieldText(0), {9}},
  };
  for (const Case& c : cases) {
    auto f = std::make_unique<RoomFixture>();
    f->myId = 1;
    f->room.createPartyList("1:1:Z");
    f->room.RefreshPartyList();
    const std::vector<MemberRow> before = f->room.screen().memberList.rows();
    f->debugLog.lines.clear();
    f->view.Forget();
    try {
      f->room.createPartyList(c.text);
      ADD_FAILURE() << c.text << " was taken whole";
    } catch (const FieldError& error) {
      EXPECT_EQ(error.what(), c.error) << c.text;
    }
    // What came before the bad item stays, unsorted and not drawn.
    EXPECT_EQ(Ids(f->room), c.ids) << c.text;
    EXPECT_EQ(f->debugLog.lines.size(), c.ids.size()) << c.text;
    EXPECT_EQ(f->room.screen().memberList.rows(), before) << c.text;
    EXPECT_TRUE(f->view.redraws.empty()) << c.text;
    EXPECT_TRUE(f->room.screen().startEnabled) << c.text;
  }
}

TEST(Roster, RowsShowLeaderTurnPositionHandAndMonster) {
  RoomFixture f;
  testing::LoadCards(f.catalogue, "o H Orc 0 1 2\r\n");
  f.room.createPartyList("3:1:A,4:0:B,5:0:C,6:0:D,7:0:E,8:0:F");
  auto& m = f.room.roster().members;
  m[0].isTurn = true, m[0].corridorCount = 2, m[0].distance = 35;
  m[1].corridorCount = 1, m[1].returning = true, m[1].distance = 65, m[1].monster = 1;
  m[2].returning = true, m[2].distance = 100;
  m[3].distance = 40;
  m[4].atTreasure = true, m[4].corridorCount = 3, m[4].distance = 100, m[4].handCount = 9, m[4].monster = 999;
  m[5].atTreasure = true, m[5].distance = 100, m[5].monster = 0;
  f.room.MemberListSelect(2);
  f.room.RefreshPartyList();
  const std::vector<MemberRow> expected = {
      {kTurnIcon, {"* 3", "A", "Go: 35", "7", ""}},    {kBlankIcon, {"4", "B", "Back: 65", "7", "Orc"}},
      {kBlankIcon, {"5", "C", "@Room: 100", "7", ""}}, {kBlankIcon, {"6", "D", "@Entrance", "7", ""}},
      {kBlankIcon, {"7", "E", "Go: 100", "9", ""}},    {kBlankIcon, {"8", "F", "@Entrance", "7", ""}},
  };
  EXPECT_EQ(f.room.screen().memberList.rows(), expected);
  EXPECT_EQ(f.room.screen().memberSelection, std::nullopt) << "a redraw clears the selection";
  EXPECT_TRUE(f.view.Redrew(GameView::kMemberList));
}

TEST(Roster, AJoinAddsOneRecordInIdOrder) {
  RoomFixture f;
  f.room.createPartyList("3:1:A,5:0:B");
  f.room.addMyMember(1, "N");
  EXPECT_EQ(Ids(f.room), (std::vector<int32_t>{1, 3, 5}));
  EXPECT_EQ(f.Lines().back(), U("SYS: Nさんが参戦しました"));
  ASSERT_EQ(f.room.screen().memberList.rows().size(), 3u);
  EXPECT_EQ(f.room.screen().memberList.rows()[0].columns[0], "1");

  // The same user again replaces the record, fresh.
  f.room.roster().members[0].handCount = 3;
  f.room.addMyMember(1, "M");
  EXPECT_EQ(Ids(f.room), (std::vector<int32_t>{1, 3, 5}));
  EXPECT_EQ(f.room.MemberName(1), "M");
  EXPECT_EQ(f.room.roster().members[0].handCount, 7);
  EXPECT_EQ(f.room.screen().memberList.rows().size(), 3u);
}

TEST(Roster, ALeaveRemovesTheMemberAndMayEndTheGame) {
  struct Case {
    bool running;
    std::string list;  // the own id is 5
    std::string line;
    bool startEnabled;
  };
  const Case cases[] = {
      {false, "3:1:A,5:0:B,7:0:C", U("SYS: Cさんが脱退しました．"), false},
      {true, "3:1:A,5:0:B,7:0:C", U("SYS: Cさんが脱退しました．ゲームを中断します．"), false},
      {false, "3:0:A,5:1:B,7:0:C", U("SYS: Cさんが脱退しました．"), true},
      {true, "3:0:A,5:1:B,7:0:C", U("SYS: Cさんが脱退しました．ゲームを中断します．"), true},
  };
  for (const Case& c : cases) {
    auto f = std::make_unique<RoomFixture>();
    f->room.createPartyList(c.list);
    f->room.GetHand("1,2");
    f->room.screen().corridorList.Assign({"Hall(10)"});
    f->room.screen().startEnabled = false;
    f->room.state().gameRunning = c.running;
    f->room.quitMember(7);
    EXPECT_EQ(f->Lines().back(), c.line);
    EXPECT_EQ(Ids(f->room), (std::vector<int32_t>{3, 5})) << c.line;
    EXPECT_EQ(f->room.screen().memberList.rows().size(), 2u) << c.line;
    EXPECT_FALSE(f->room.state().gameRunning) << c.line;
    EXPECT_EQ(f->room.screen().handList.rows().size(), c.running ? 0u : 2u) << c.line;
    EXPECT_EQ(f->room.screen().corridorList.rows().size(), c.running ? 0u : 1u) << c.line;
    EXPECT_EQ(f->room.screen().startEnabled, c.startEnabled) << c.line;
  }
}

TEST(Roster, LeavesOfUnknownAndOwnMembers) {
  RoomFixture f;
  f.room.createPartyList("3:1:A,5:0:B");
  f.room.quitMember(9);
  EXPECT_EQ(f.Lines().back(), U("SYS: Error! No Such User!さんが脱退しました．"));
  EXPECT_EQ(Ids(f.room), (std::vector<int32_t>{3, 5}));
  f.room.quitMember(5);
  EXPECT_EQ(f.Lines().back(), U("SYS: Bさんが脱退しました．"));
  EXPECT_EQ(f.room.roster().ownMember(), nullptr);
  f.room.GetHand("1");
  EXPECT_TRUE(f.room.screen().handList.rows().empty());
}

TEST(Roster, NewLeaderAndNames) {
  RoomFixture f;
  f.room.createPartyList("3:1:A,5:0:B,4:0:\"\"");
  f.room.ChangeLeader(5);
  EXPECT_EQ(f.Lines().back(), U("SYS: Bさんがリーダーになりました．"));
  EXPECT_EQ(f.room.screen().memberList.rows()[2].columns[0], "* 5");
  EXPECT_EQ(f.room.screen().memberList.rows()[0].columns[0], "3");
  EXPECT_FALSE(f.room.screen().startEnabled) << "a new leader does not change the start item";

  f.room.ChangeLeader(9);
  EXPECT_EQ(f.Lines().back(), U("SYS: Error! No Such User!さんがリーダーになりました．"));
  EXPECT_EQ(f.room.roster().leaderId, 9);
  for (const MemberRow& row : f.room.screen().memberList.rows())
    EXPECT_EQ(row.columns[0].find('*'), std::string::npos);

  EXPECT_EQ(f.room.MemberName(3), "A");
  EXPECT_EQ(f.room.MemberName(4), "Error! No Such User!") << "an empty name";
  EXPECT_EQ(f.room.MemberName(8), "Error! No Such User!");
}

TEST(Roster, RenameReplacesTheNameAndRedraws) {
  RoomFixture f;
  f.room.createPartyList("3:1:A,5:0:B");
  f.room.doRename(3, "Z");
  EXPECT_EQ(f.Lines().back(), U("SYS: Aさんは，名前を「Z」に変更しました．"));
  EXPECT_EQ(f.room.screen().memberList.rows()[0].columns[1], "Z");
  const size_t lines = f.consoleView.lines.size();
  f.view.Forget();
  f.room.doRename(9, "Q");
  EXPECT_EQ(f.consoleView.lines.size(), lines);
  EXPECT_TRUE(f.view.Redrew(GameView::kMemberList));
}

}  // namespace
}  // namespace gorvane
