// SPDX-License-Identifier: GPL-3.0-or-later
// The lobby's commands, chat line and notices of other users.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/lobby.h"
#include "lobby_fixture.h"
#include "spine/sjis.h"

namespace gorvane {
namespace {

using namespace std::string_literals;
using testing::LobbyTest;
using Wire = std::vector<std::string>;

std::string S(std::string_view utf8) { return sjis::Text(utf8); }

class CommandsTest : public LobbyTest {
 protected:
  void SetUp() override {
    LobbyTest::SetUp();
    Make();
    Connect();
    Receive("S_CONNECT,5,hi\0S_LIST,5:Me:0,8:Bob:0,9:\"Cy\":4\0"s);
    transport.sends.clear();
  }
  void SelectParty(int32_t number) {
    ListBox<PartyEntry>& box = lobby->lists().ListBox2();
    for (size_t i = 0; i < box.size(); ++i) {
      if (box.row(i).carried.number == number) box.Select(i);
    }
  }
};

TEST_F(CommandsTest, ChatLineSendsWhatWasTypedUnlessItWasNeverTouched) {
  // Each step is either an edit by the user ("=text") or Enter ("<enter>").
  struct Case {
    std::vector<std::string> steps;
    Wire sent;
  };
  const Case cases[] = {
      {{"<enter>"}, {}},
      {{"=x", "=", "<enter>"}, {"G_CHAT 5 "}},
      {{"=hi", "<enter>", "<enter>"}, {"G_CHAT 5 hi"}},
      {{"=a, \"b\"  c ", "<enter>"}, {"G_CHAT 5 a, \"b\"  c "}},
      {{"=" + S("今日は，世界"), "<enter>", "=", "<enter>"}, {"G_CHAT 5 " + S("今日は，世界"), "G_CHAT 5 "}},
  };
  for (const Case& c : cases) {
    Make();  // a fresh, untouched line
    Receive("S_CONNECT,5,hi\0"s);
    transport.sends.clear();
    view.edit2.reset();
    for (const std::string& step : c.steps) {
      if (step == "<enter>") {
        lobby->Edit2KeyDown(kEnterKey);
      } else {
        lobby->Edit2Change(step.substr(1));
      }
    }
    EXPECT_EQ(Sent(), c.sent) << c.steps.front();
    EXPECT_EQ(lobby->chatLine().text(), "");
    // The line is emptied by the program after every send, and only then.
    EXPECT_EQ(view.edit2, c.sent.empty() ? std::nullopt : std::optional<std::string>("")) << c.steps.front();
  }
  // Other keys do nothing; while offline Enter still empties the line.
  Make();
  lobby->Edit2Change("x");
  lobby->Edit2KeyDown('X');
  EXPECT_EQ(lobby->chatLine().text(), "x");
  transport.isActive = false;
  transport.sends.clear();
  view.edit2.reset();
  lobby->Edit2KeyDown(kEnterKey);
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(view.edit2, "");
}

TEST_F(CommandsTest, JoiningActsOnTheSelectedEntryAndRefusesAGameInProgress) {
  Receive("S_GLIST,9:8:1:0,10:5:2:1\0"s);
  lobby->J1Click();
  EXPECT_TRUE(Sent().empty()) << "nothing selected";

  SelectParty(9);
  ASSERT_EQ(lobby->lists().ListBox2().selection(), 1u) << "party 9 is shown below party 10";
  lobby->J1Click();
  EXPECT_EQ(Sent(), Wire{"P_JOIN 5 9"});

  transport.sends.clear();
  SelectParty(10);
  lobby->J1Click();
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(LastLine(), S("SYS: そのグループはゲーム中です．"));
  EXPECT_EQ(consoleView.lines.back().colour, (Rgb{255, 0, 0}));

  // Joinable again once the server reports the game over.
  Receive("S_GLIST,9:8:1:0,10:5:2:0\0"s);
  SelectParty(10);
  lobby->J1Click();
  EXPECT_EQ(Sent(), Wire{"P_JOIN 5 10"});
}

TEST_F(CommandsTest, MenuCommandsAndUserInfo) {
  lobby->R1Click();
  lobby->G1Click();
  lobby->P1Click();
  lobby->ListBox1DblClick();  // no entry selected
  EXPECT_EQ(Sent(), (Wire{"G_LIST 5 *", "G_PLIST 5 *", "P_CREATE 5 *"}));

  Receive("S_INFO,8,\"Bob X\",x,1200,3\0"s);
  EXPECT_EQ(LastLine(), S("SYS: Bob Xさん(ID = 8): 通産獲得賞金 1200ドルム，通産勝数 3"));
  const size_t lines = consoleView.lines.size();
  Receive("S_INFO,8,Bob,x,1200\0"s);
  EXPECT_EQ(errorBox.shown, std::vector<std::string>{S("リストのインデックスが範囲を超えています (4)")});
  EXPECT_EQ(consoleView.lines.size(), lines);
}

TEST_F(CommandsTest, AnotherUsersJoinAsksForThePartyListTwice) {
  struct Case {
    std::string message;
    int32_t myParty;  // 0: no game window of our own
    std::string line;
    std::vector<std::pair<int32_t, std::string>> added;
  };
  const Case cases[] = {
      {"S_PJOIN,8,4", 4, S("SYS: Bobさんが 4番パーティに参加しました．"), {{8, "Bob"}}},
      {"S_PJOIN,9,3", 4, S("SYS: Cyさんが 3番パーティに参加しました．"), {}},
      // A user the table does not know joins under an empty name.
      {"S_PJOIN,77,4", 4, S("SYS: さんが 4番パーティに参加しました．"), {{77, ""}}},
      // A party missing from the party table: the number of the message.
      {"S_PJOIN,8,123", 0, S("SYS: Bobさんが 123番パーティに参加しました．"), {}},
  };
  for (const Case& c : cases) {
    transport.sends.clear();
    pause.atSend.clear();
    if (c.myParty != 0) {
      lobby->setMyPartyNo(c.myParty);
      lobby->OpenGameWindow();
    }
    Receive(c.message + '\0');
    EXPECT_EQ(Sent(), (Wire{"G_LIST 5 *", "G_PLIST 5 *", "G_PLIST 5 *"})) << c.message;
    EXPECT_EQ(pause.atSend, std::vector<size_t>{1}) << "the pause falls after G_LIST";
    EXPECT_EQ(LastLine(), c.line);
    if (c.myParty != 0) {
      EXPECT_EQ(view.games.back()->added, c.added) << c.message;
    }
  }
  // A join into the own party number before any game window exists (both
  // still 0) has no roster to go to: one debug-log line.
  Make();
  Receive("S_CONNECT,5,hi\0S_LIST,8:Bob:0\0S_PJOIN,8,0\0"s);
  EXPECT_EQ(debugLog.lines.back(), "Error: No Game Window: S_PJOIN,8,0");
  EXPECT_EQ(LastLine(), S("SYS: Bobさんが 0番パーティに参加しました．"));
}

TEST_F(CommandsTest, RenamesAndLeavesNameKnownUsersOnly) {
  lobby->setMyPartyNo(4);
  lobby->OpenGameWindow();
  const testing::NullGame& game = *view.games.back();
  struct Case {
    std::string message;
    std::string line;  // empty: nothing printed
    Wire sent;
  };
  const Wire lists{"G_LIST 5 *", "G_PLIST 5 *"};
  const Case cases[] = {
      {"S_RENAME,8,\"Bo b\"", S("SYS: Bobさんは，名前を「Bo b」に変更しました．"), lists},
      {"S_RENAME,5,Me2", S("SYS: 名前の変更に成功しました．"), lists},
      {"S_RENAME,77,Zed", "", lists},
      {"S_PBYE,9,3", S("SYS: Cyさんが3番パーティを脱退しました．"), lists},
      {"S_PBYE,77,3", "", lists},
      {"S_QUITGAME,8", S("SYS: Bobさんが4番パーティを脱退しました．"), lists},
  };
  for (const Case& c : cases) {
    transport.sends.clear();
    const size_t lines = consoleView.lines.size();
    Receive(c.message + '\0');
    EXPECT_EQ(consoleView.lines.size(), lines + (c.line.empty() ? 0 : 1)) << c.message;
    if (!c.line.empty()) {
      EXPECT_EQ(LastLine(), c.line);
    }
    EXPECT_EQ(Sent(), c.sent) << c.message;
  }
  EXPECT_EQ(game.renamed, (std::vector<std::pair<int32_t, std::string>>{{8, "Bo b"}, {5, "Me2"}}));
  EXPECT_TRUE(errorBox.shown.empty());
}

}  // namespace
}  // namespace gorvane
