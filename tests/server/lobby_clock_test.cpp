// The lobby on a clock the test sets: what it sends when, and when it asks
// the loop to look again.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>

#include "loopback.h"
#include "server/lobby.h"

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
  ClockedLobby() {
    LoadCards(cards);
    std::string error;
    store = server::AccountStore::Open(":memory:", error);
    server::LobbyRules rules;
    rules.turnTime = 10s;
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

}  // namespace
}  // namespace gorvane::testing
