// SPDX-License-Identifier: GPL-3.0-or-later
// What a user can do to keep others out of the lobby or to pass for
// somebody else, on a clock the test sets.
#include <gtest/gtest.h>

#include <string>

#include "spine/codec.h"
#include "spine/sjis.h"
#include "support/server/clocked_lobby.h"

namespace gorvane::testing {
namespace {

std::string GreetedAs(ClockedLobby& l, int32_t id) {
  for (const std::string& message : l.outbox.to[1]) {
    const Fields fields = SplitCommaText(message);
    if (fields.size() == 3 && fields[0] == "S_GREETING" && fields[1] == std::to_string(id)) return fields[2];
  }
  return "(not greeted)";
}

// B renames itself; newcomers then join under the old name (free again),
// the new one and its lookalikes (taken), and with blanks around a name
// (trimmed, and greeted by the trimmed name).
TEST(LobbyAbuse, ARenameFreesTheOldNameAndTakesTheNewOne) {
  ClockedLobby l;
  l.Do(2, "G_RENAME", sjis::Text("Вее"), l.start);  // Cyrillic: passes for "Bee"
  l.Do(2, "G_RENAME", "Bee", l.start);
  l.Do(1, "G_RENAME", sjis::Text("ｂｅｅ"), l.start);  // taken: ignored
  EXPECT_EQ(l.outbox.Count(1, "S_RENAME,"), 2u);
  const struct {
    const char* asked;
    const char* greeted;
  } rows[] = {
      {"B", "B"},          {"Bee", "Bee2"}, {"Ｂｅｅ", "Ｂｅｅ3"},
      {"Ｂｅе", "Ｂｅе4"},                   // the last letter Cyrillic
      {" Cee　", "Cee"},   {"Сее", "Сее2"},  // Cyrillic, passes for Cee
      {"Dee", "Dee"},
  };
  int32_t id = 3;
  for (const auto& row : rows) {
    l.lobby->Connect(id);
    l.Do(id, "G_JOIN", sjis::Text(row.asked), l.start + 1s * id);
    EXPECT_EQ(GreetedAs(l, id), sjis::Text(row.greeted)) << row.asked;
    ++id;
  }
}

// A full lobby of A and B: who gives way to a newcomer after 700 s depends
// on what counted as heard.
TEST(LobbyAbuse, OnlyAcceptedCommandsAndEndedGamesCountAsHeard) {
  const struct {
    const char* what;
    const char* everyThreeSeconds;  // what B sends meanwhile ("": nothing)
    bool game;                      // A and B silent in a game B leaves at 690 s
    int32_t gone;                   // who gives way (0: the newcomer is turned away)
  } rows[] = {
      {"refused commands", "X", false, 2},
      {"a wrong id", "G_LIST 1", false, 2},
      {"accepted commands", "G_LIST", false, 0},
      {"silent through a game that just ended", "", true, 0},
  };
  for (const auto& row : rows) {
    ClockedLobby l(2);
    if (!row.game) l.Do(1, "G_LIST", "*", l.start + 650s);  // A spoke lately
    if (row.game) {
      l.Do(1, "P_CREATE", "*", l.start);
      l.Do(2, "P_JOIN", "1", l.start);
      l.Do(2, "P_LIST", "*", l.start);
      l.Do(1, "P_START", "*", l.start);
      l.Do(2, "P_BYE", "*", l.start + 690s);
      l.lobby->Tick(l.start + 690s);
      // B is heard leaving; A, silent since the start, starts afresh.
    }
    const std::string every = row.everyThreeSeconds;
    for (int s = 3; !every.empty() && s < 700; s += 3) {
      const std::string command = every == "G_LIST 1" ? "G_LIST 1 *" : every + " 2 *";
      l.lobby->Handle(2, command, l.start + std::chrono::seconds(s));
    }
    const TimePoint now = l.start + 700s;
    l.lobby->Connect(3);
    l.Do(3, "G_JOIN", "C", now);
    for (const int32_t id : {1, 2}) {
      EXPECT_EQ(l.outbox.Count(id, "S_BYE"), id == row.gone ? 1u : 0u) << row.what << ": user " << id;
    }
    EXPECT_EQ(l.outbox.Count(3, "S_EXCEED"), row.gone == 0 ? 1u : 0u) << row.what;
  }
  // The span after a game is a whole one: ten minutes on, A gives way.
  ClockedLobby l(2);
  l.Do(1, "P_CREATE", "*", l.start);
  l.Do(2, "P_JOIN", "1", l.start);
  l.Do(2, "P_LIST", "*", l.start);
  l.Do(1, "P_START", "*", l.start);
  l.Do(2, "P_BYE", "*", l.start + 690s);
  l.Do(2, "G_LIST", "*", l.start + 1300s);
  EXPECT_FALSE(l.lobby->CanMakeRoom(l.start + 1289s));
  EXPECT_TRUE(l.lobby->CanMakeRoom(l.start + 1290s));
}

// Every command counts against the sender's budget; refused ones past ten
// times the chat limit (100 per 10 s) cut it off, counted as a defence.
TEST(LobbyAbuse, RefusedCommandsPastTheBudgetCutTheSenderOff) {
  const struct {
    const char* what;
    std::string message;  // sent `count` times within one second
    int count;
    bool cut;
  } rows[] = {
      {"unknown kinds, at the threshold", "X 1 *", 100, false},
      {"unknown kinds, one past it", "X 1 *", 101, true},
      {"empty messages", "", 101, true},
      {"another's id", "G_LIST 2 *", 101, true},
      {"lists within the budget of every command", "G_LIST 1 *", 1000, false},
      {"lists past it", "G_LIST 1 *", 1101, true},
      {"chat past its limit, cut by the chat limit", "G_CHAT 1 hi", 101, true},
  };
  for (const auto& row : rows) {
    ClockedLobby l;
    for (int i = 0; i < row.count; ++i) l.lobby->Handle(1, row.message, l.start + 1ms * i);
    EXPECT_EQ(l.outbox.cut, row.cut ? std::vector<int32_t>{1} : std::vector<int32_t>{}) << row.what;
    const bool chat = row.message.starts_with("G_CHAT");
    EXPECT_EQ(l.Defended("refused_flood"), row.cut && !chat ? 1 : 0) << row.what;
    EXPECT_EQ(l.Defended("cut_off"), row.cut && chat ? 1 : 0) << row.what;
  }
  // A busy player for a minute: lists on every greeting, chat at its
  // limit, a refused play now and then; never cut off.
  ClockedLobby l;
  for (int ms = 0; ms < 60000; ms += 25) {
    const TimePoint now = l.start + 1ms * ms;
    l.Do(1, "G_LIST", "*", now);
    if (ms % 1000 == 0) l.Do(1, "G_CHAT", "gg", now);
    if (ms % 500 == 0) l.Do(1, "P_PLAY", "2 5", now);
  }
  EXPECT_TRUE(l.outbox.cut.empty());
}

// A login whose connection was cut off stays out for the cool-off, from
// any connection; other logins are checked as usual.
TEST(LobbyAbuse, ALoginCutOffCoolsOff) {
  ClockedLobby l(64, 10s, 3);
  l.lobby->LoginAnswered(1, "alice", {server::LoginOutcome::kOk});
  for (int i = 0; i < 101; ++i) l.lobby->Handle(1, "X 1 *", l.start);
  ASSERT_EQ(l.outbox.cut, std::vector<int32_t>{1});
  const struct {
    int32_t user;
    const char* login;
    std::chrono::seconds after;
    bool checked;
  } rows[] = {{2, "alice", 30s, false}, {3, "bob", 30s, true}, {2, "alice", 61s, true}};
  for (const auto& row : rows) {
    l.outbox.checked.clear();
    l.Do(row.user, "G_LOGIN", std::string(row.login) + " pw", l.start + row.after);
    EXPECT_EQ(l.outbox.checked.size(), row.checked ? 1u : 0u) << row.login << " after " << row.after.count();
  }
  EXPECT_EQ(l.outbox.Count(2, "S_ELOGIN,15"), 1u) << "told as a refused login";
}

}  // namespace
}  // namespace gorvane::testing
