// SPDX-License-Identifier: GPL-3.0-or-later
// The lobby on a clock the test sets: what it sends when, and when it asks
// the loop to look again.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "server/lobby/lobby.h"
#include "spine/sjis.h"
#include "support/server/clocked_lobby.h"

namespace gorvane::testing {
namespace {

using namespace std::chrono_literals;
using server::TimePoint;

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
  l.Do(2, "P_LIST", "*", l.start);
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
      l.Do(2, "P_LIST", "*", l.start);
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

// A creates party 1 at start. The leader's P_START is held until every
// other member has had its S_PLIST since it joined, or has been in the party
// 5 s without asking; the loop ticks after each step.
TEST(LobbyClock, AStartWaitsForEveryMembersRoster) {
  struct Step {
    int ms;
    int32_t who;  // 0: only a tick
    const char* kind;
    const char* argument;
    size_t dealt;  // S_FIRSTHAND the watched user has had by then
  };
  const struct {
    const char* what;
    int32_t watched;
    std::vector<Step> steps;
    const char* logged;  // a part of a log line the start writes, if any
  } rows[] = {
      {"B asks at once",
       2,
       {{0, 2, "P_JOIN", "1", 0}, {0, 1, "P_START", "*", 0}, {100, 2, "P_LIST", "*", 1}},
       nullptr},
      {"B asked before the start",
       2,
       {{0, 2, "P_JOIN", "1", 0}, {50, 2, "P_LIST", "*", 0}, {100, 1, "P_START", "*", 1}},
       nullptr},
      {"B never asks",
       2,
       {{0, 2, "P_JOIN", "1", 0}, {0, 1, "P_START", "*", 0}, {4999, 0, "", "", 0}, {5000, 0, "", "", 1}},
       "without the roster of user 2"},
      {"B leaves: the leader plays alone",
       1,
       {{0, 2, "P_JOIN", "1", 0}, {0, 1, "P_START", "*", 0}, {100, 2, "P_BYE", "*", 1}},
       nullptr},
      {"the leader leaves: the start goes with it, the new leader's stands",
       2,
       {{0, 2, "P_JOIN", "1", 0},
        {0, 1, "P_START", "*", 0},
        {100, 1, "P_BYE", "*", 0},
        {6000, 0, "", "", 0},
        {6000, 2, "P_START", "*", 1}},
       "start dropped, its leader left"},
      {"C joins while the start is held: its roster first",
       2,
       {{0, 2, "P_JOIN", "1", 0},
        {0, 1, "P_START", "*", 0},
        {50, 3, "P_JOIN", "1", 0},
        {100, 2, "P_LIST", "*", 0},
        {150, 3, "P_LIST", "*", 1}},
       nullptr},
      {"C joins late and never asks: 5 s from its join",
       2,
       {{0, 2, "P_JOIN", "1", 0},
        {0, 1, "P_START", "*", 0},
        {3000, 3, "P_JOIN", "1", 0},
        {3100, 2, "P_LIST", "*", 0},
        {7999, 0, "", "", 0},
        {8000, 0, "", "", 1}},
       "without the roster of user 3"},
      {"a member that leaves and joins again owes its roster again",
       2,
       {{0, 2, "P_JOIN", "1", 0},
        {0, 2, "P_LIST", "*", 0},
        {10, 2, "P_BYE", "*", 0},
        {20, 2, "P_JOIN", "1", 0},
        {30, 1, "P_START", "*", 0},
        {40, 2, "P_LIST", "*", 1}},
       nullptr},
      {"a second P_START while held deals once",
       2,
       {{0, 2, "P_JOIN", "1", 0},
        {0, 1, "P_START", "*", 0},
        {10, 1, "P_START", "*", 0},
        {20, 2, "P_LIST", "*", 1}},
       nullptr},
  };
  for (const auto& row : rows) {
    ClockedLobby l(64, 120s, 3);
    l.Do(1, "P_CREATE", "*", l.start);
    for (const Step& step : row.steps) {
      const TimePoint now = l.start + std::chrono::milliseconds(step.ms);
      if (step.who != 0) l.Do(step.who, step.kind, step.argument, now);
      l.lobby->Tick(now);
      EXPECT_EQ(l.outbox.Count(row.watched, "S_FIRSTHAND,"), step.dealt)
          << row.what << ": at " << step.ms << " ms after " << (step.who ? step.kind : "a tick");
    }
    if (row.logged) {
      EXPECT_TRUE(l.Logged(row.logged)) << row.what;
    }
  }
}

// While a start is held the loop is told when the wait runs out: 5 s after
// the latest join among those still owed a roster.
TEST(LobbyClock, AHeldStartTellsTheLoopWhenItsWaitEnds) {
  ClockedLobby l(64, 0s, 3);
  l.Do(1, "P_CREATE", "*", l.start);
  l.Do(2, "P_JOIN", "1", l.start);
  l.Do(1, "P_START", "*", l.start);
  const struct {
    int ms;
    const char* act;  // "tick" or "C joins"
    int due;
  } steps[] = {{0, "tick", 5000}, {1000, "C joins", 6000}, {4000, "tick", 6000}};
  for (const auto& step : steps) {
    const TimePoint now = l.start + std::chrono::milliseconds(step.ms);
    if (std::string_view(step.act) == "C joins") l.Do(3, "P_JOIN", "1", now);
    EXPECT_EQ(l.lobby->Tick(now), l.start + std::chrono::milliseconds(step.due))
        << step.act << " at " << step.ms;
  }
  EXPECT_FALSE(l.lobby->Tick(l.start + 6s)) << "dealt, and untimed turns wait for nothing";
  EXPECT_EQ(l.outbox.Count(3, "S_FIRSTHAND,"), 1u);
}

// The server's own lines in the party chat about A's and B's turns, by what
// they say: "wA" A has 30 s left, "eA" the server ended A's turn.
std::string TimerLines(const std::vector<std::string>& heard) {
  const std::string warning = sjis::Text("さんの手番は残り30秒です");
  const std::string ended = sjis::Text("さんの手番を時間切れで終了しました");
  std::string codes;
  for (const std::string& line : heard) {
    if (!line.starts_with("S_PCHAT SYS> ")) continue;
    const std::string text = line.substr(13);
    const std::string name = text.substr(0, 1);
    const std::string rest = text.substr(1);
    if (!codes.empty()) codes += ' ';
    codes += rest == warning ? "w" + name : rest == ended ? "e" + name : "?" + text;
  }
  return codes;
}

// A and B play, A first. 30 s before the server would end a turn the party
// is told, once; when it has ended it, the party is told that. A turn no
// longer than 30 s gets only the second line, and a turn ended in time
// none.
TEST(LobbyClock, TheTurnTimerSpeaksBeforeAndWhenItEndsATurn) {
  struct Step {
    int ms;
    const char* act;    // "tick", or "end": the player draws and ends its turn
    const char* lines;  // what B has heard from the server by then
  };
  const struct {
    const char* what;
    int turnSeconds;
    std::vector<Step> steps;
  } rows[] = {
      {"nobody moves",
       120,
       {{0, "tick", ""},
        {89999, "tick", ""},
        {90000, "tick", "wA"},
        {119999, "tick", "wA"},
        {120000, "tick", "wA eA"},
        {210000, "tick", "wA eA wB"},
        {240000, "tick", "wA eA wB eB"}}},
      {"A ends in time",
       120,
       {{0, "tick", ""},
        {80000, "end", ""},
        {90000, "tick", ""},
        {169999, "tick", ""},
        {170000, "tick", "wB"}}},
      {"A ends after the warning",
       120,
       {{90000, "tick", "wA"}, {95000, "end", "wA"}, {120000, "tick", "wA"}, {185000, "tick", "wA wB"}}},
      {"a 30 s turn", 30, {{0, "tick", ""}, {30000, "tick", "eA"}}},
      {"a 31 s turn", 31, {{0, "tick", ""}, {1000, "tick", "wA"}, {31000, "tick", "wA eA"}}},
  };
  for (const auto& row : rows) {
    ClockedLobby l(64, std::chrono::seconds(row.turnSeconds));
    l.Do(1, "P_CREATE", "*", l.start);
    l.Do(2, "P_JOIN", "1", l.start);
    l.Do(2, "P_LIST", "*", l.start);
    l.Do(1, "P_START", "*", l.start);
    l.lobby->Tick(l.start);
    for (const Step& step : row.steps) {
      const TimePoint now = l.start + std::chrono::milliseconds(step.ms);
      if (std::string_view(step.act) == "end") {
        const int32_t player = l.lobby->FindParty(1)->game->turn().player;
        const size_t before = l.outbox.Count(2, "S_TURNEND,");
        l.Do(player, "P_DROW", "*", now);
        l.Do(player, "P_TURNEND", "*", now);
        ASSERT_EQ(l.outbox.Count(2, "S_TURNEND,"), before + 1) << row.what << ": the turn end was taken";
      }
      l.lobby->Tick(now);
      EXPECT_EQ(TimerLines(l.outbox.to[2]), step.lines) << row.what << ": at " << step.ms << " ms";
      EXPECT_EQ(TimerLines(l.outbox.to[1]), step.lines) << row.what << ": the player hears it too";
    }
    const bool ended = std::string_view(row.steps.back().lines).find('e') != std::string_view::npos;
    EXPECT_EQ(l.Logged("without a turn end"), ended) << row.what;
  }
}

}  // namespace
}  // namespace gorvane::testing
