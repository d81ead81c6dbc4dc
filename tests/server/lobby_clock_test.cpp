// SPDX-License-Identifier: GPL-3.0-or-later
// The lobby on a clock the test sets: what it sends when, and when it asks
// the loop to look again.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>

#include "support/server/loopback.h"
#include "server/lobby/lobby.h"

namespace gorvane::testing {
namespace {

using namespace std::chrono_literals;
using server::TimePoint;

struct Recorder : server::Outbox {
  void Send(int32_t user, std::string_view message) override { to[user].emplace_back(message); }
  void SendFramed(int32_t user, const server::Framed& message, server::ListSlot) override {
    to[user].emplace_back(message->substr(0, message->size() - 1));
  }
  void Close(int32_t, std::string_view) override {}
  void Cut(int32_t, std::string_view) override {}
  void CheckLogin(int32_t, const std::string&, const std::string&) override {}
  size_t Count(int32_t user, std::string_view prefix) {
    return static_cast<size_t>(std::count_if(to[user].begin(), to[user].end(),
                                             [&](const std::string& m) { return m.starts_with(prefix); }));
  }
  std::map<int32_t, std::vector<std::string>> to;
};

// Users 1 (A) and 2 (B) joined at start; turns run out after 10 s.
struct ClockedLobby {
  explicit ClockedLobby(size_t maxUsers = 64) {
    LoadCards(cards);
    std::string error;
    store = server::AccountStore::Open(":memory:", error);
    server::LobbyRules rules;
    rules.turnTime = 10s;
    rules.maxUsers = maxUsers;
    lobby = std::make_unique<server::Lobby>(cards, *store, rng, outbox, nullptr, rules);
    for (const int32_t id : {1, 2}) {
      lobby->Connect(id);
      Do(id, "G_JOIN", id == 1 ? "A" : "B", start);
    }
  }
  void Do(int32_t id, std::string_view kind, std::string_view argument, TimePoint now) {
    lobby->Handle(id, std::string(kind) + " " + std::to_string(id) + " " + std::string(argument), now);
  }

  const TimePoint start = TimePoint{} + 1h;
  CardCatalogue cards;
  std::unique_ptr<server::AccountStore> store;
  std::mt19937 rng{7};
  Recorder outbox;
  std::unique_ptr<server::Lobby> lobby;
};

// A asks for the user list again and again, B renames itself now and then;
// after each step the loop ticks the lobby as it does after every event.
// Asked inside the half second after the last one, an unchanged list is
// owed, once, until the gap is over; a changed one goes at once and stands
// for what was owed.
TEST(LobbyClock, AnUnchangedListWaitsOutItsGapAndAChangedOneGoesAtOnce) {
  ClockedLobby l;
  struct Step {
    int ms;
    const char* act;  // "ask", "rename" or "tick"
    size_t lists;     // S_LIST that A has had by then
    std::optional<int> due;
  } const steps[] = {
      {0, "ask", 1, {}},     {100, "ask", 1, 500},   {200, "ask", 1, 500},    {499, "tick", 1, 500},
      {500, "tick", 2, {}},  {700, "ask", 2, 1000},  {1000, "tick", 3, {}},   {1100, "rename", 3, {}},
      {1200, "ask", 4, {}},  {1300, "ask", 4, 1700}, {1400, "rename", 4, {}}, {1450, "ask", 5, {}},
      {1700, "tick", 5, {}},
  };
  for (const Step& step : steps) {
    const TimePoint now = l.start + std::chrono::milliseconds(step.ms);
    const std::string act = step.act;
    if (act == "ask") l.Do(1, "G_LIST", "*", now);
    if (act == "rename") l.Do(2, "G_RENAME", "B" + std::to_string(step.ms), now);
    const std::optional<TimePoint> due = l.lobby->Tick(now);
    EXPECT_EQ(l.outbox.Count(1, "S_LIST,"), step.lists) << act << " at " << step.ms;
    if (step.due) {
      EXPECT_EQ(due, l.start + std::chrono::milliseconds(*step.due)) << act << " at " << step.ms;
    }
  }
}

// Each turn has its whole time, the one after a turn the server ended too,
// and the loop is told when to end the next one.
TEST(LobbyClock, EveryTurnRunsOutAfterItsWholeTime) {
  ClockedLobby l;
  l.Do(1, "P_CREATE", "*", l.start);
  l.Do(2, "P_JOIN", "1", l.start);
  l.Do(1, "P_START", "*", l.start);
  const struct {
    int ms;
    size_t turnEnds;  // S_TURNEND that B has heard by then
    int due;
  } ticks[] = {{0, 0, 10000}, {9999, 0, 10000}, {10000, 1, 20000}, {19999, 1, 20000}, {20000, 2, 30000}};
  for (const auto& tick : ticks) {
    const std::optional<TimePoint> due = l.lobby->Tick(l.start + std::chrono::milliseconds(tick.ms));
    EXPECT_EQ(l.outbox.Count(2, "S_TURNEND,"), tick.turnEnds) << tick.ms;
    EXPECT_EQ(due, l.start + std::chrono::milliseconds(tick.due)) << tick.ms;
  }
}

// A full lobby: a newcomer takes the place of the user silent longest, if
// silent long enough and not in a game; otherwise it is turned away.
TEST(LobbyClock, AFullLobbyMakesRoomOnlyFromASilentUserOutsideAGame) {
  const struct {
    const char* what;
    int silentSeconds;  // since A and B last said anything
    bool playing;       // A and B in a running game
    int32_t gone;       // who got S_BYE (0: nobody, the newcomer is turned away)
  } rows[] = {
      {"not silent long enough", 599, false, 0},
      {"silent ten minutes", 600, false, 1},
      {"playing, however silent", 3600, true, 0},
  };
  for (const auto& row : rows) {
    ClockedLobby l(2);
    if (row.playing) {
      l.Do(1, "P_CREATE", "*", l.start);
      l.Do(2, "P_JOIN", "1", l.start);
      l.Do(1, "P_START", "*", l.start);
    }
    l.Do(1, "G_LIST", "*", l.start + 1s);
    l.Do(2, "G_LIST", "*", l.start + 2s);  // B spoke last: A is the one silent longest
    const TimePoint now = l.start + 1s + std::chrono::seconds(row.silentSeconds);
    EXPECT_EQ(l.lobby->CanMakeRoom(now), row.gone != 0) << row.what;
    l.lobby->Connect(3);
    l.Do(3, "G_JOIN", "C", now);
    for (const int32_t id : {1, 2}) {
      EXPECT_EQ(l.outbox.Count(id, "S_BYE"), id == row.gone ? 1u : 0u) << row.what << ": user " << id;
    }
    EXPECT_EQ(l.outbox.Count(3, "S_EXCEED"), row.gone == 0 ? 1u : 0u) << row.what;
    EXPECT_EQ(l.lobby->IsJoined(3), row.gone != 0) << row.what;
  }
}

// What costs the server (a database read, a long parse) is bounded before
// it is done: G_INFO as often as the broadcasts, every command by the length
// of its longest valid form.
TEST(LobbyClock, QuestionsAreMeteredAndOverlongCommandsRefusedUnread) {
  ClockedLobby l;
  for (int i = 0; i < 7; ++i) l.Do(1, "G_INFO", "2", l.start + std::chrono::milliseconds(i));
  EXPECT_EQ(l.outbox.Count(1, "S_INFO,"), 5u);
  std::string play = "2";
  for (int card = 0; card < 16; ++card) play += " 200";
  const struct {
    std::string argument;
    size_t answers;  // S_UNPLAYED,1: no game, but read and answered
  } plays[] = {{play, 1}, {play + std::string(10000, '9'), 0}};
  for (const auto& row : plays) {
    const size_t before = l.outbox.Count(2, "S_UNPLAYED");
    l.Do(2, "P_PLAY", row.argument, l.start);
    EXPECT_EQ(l.outbox.Count(2, "S_UNPLAYED") - before, row.answers) << row.argument.size();
  }
}

// Greetings and departures go to everybody: 20 a second at most, server
// wide; joins past that are greeted in turn, none lost.
TEST(LobbyClock, JoinsPastTheGreetingBoundWaitTheirTurn) {
  ClockedLobby l;
  const TimePoint now = l.start + 1s;
  for (int32_t id = 3; id < 43; ++id) {
    l.lobby->Connect(id);
    l.Do(id, "G_JOIN", "U" + std::to_string(id), now);
  }
  // A and B were greeted at start (two of that second's twenty).
  EXPECT_EQ(l.outbox.Count(1, "S_GREETING,"), 2u + 20u);
  std::optional<TimePoint> due = l.lobby->Tick(now);
  ASSERT_TRUE(due);
  EXPECT_LE(*due, now + 1s);
  l.lobby->Tick(now + 1s);
  EXPECT_EQ(l.outbox.Count(1, "S_GREETING,"), 2u + 40u);
  EXPECT_FALSE(l.lobby->Tick(now + 1s)) << "nothing waits any more";
}

}  // namespace
}  // namespace gorvane::testing
