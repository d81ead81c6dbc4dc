// SPDX-License-Identifier: GPL-3.0-or-later
// A player who stops answering in the middle of a turn: the server ends the
// turn for it, and every player, the silent one included once it listens
// again, still agrees with the server about its own game.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "e2e_support.h"

namespace gorvane::e2e {
namespace {

using bot::HeadlessPlayer;
using bot::Mode;
using namespace std::chrono_literals;

constexpr auto kTurnTime = 300ms;

// Where Carol falls silent, once each: before her draw, with a trap discard
// owed, and after a play.
enum class Stall { kBeforeDraw, kTrapOwed, kAfterPlay };

TEST(TurnTimeout, ASilentPlayersTurnEndsAndEveryoneStillAgrees) {
  const std::string address = "127.0.0.61";
  LocalServer server(address, 2, [](server::ServerOptions& options) { options.turnTime = kTurnTime; });
  const char* names[] = {"Alice", "Bob", "Carol"};
  ConsoleRecord consoles[3];
  std::unique_ptr<HeadlessPlayer> players[3];
  std::vector<std::string> disagreements;
  std::set<Stall> stalled;
  std::optional<std::chrono::steady_clock::time_point> silentUntil;
  bool catchingUp = false;
  size_t heard = 0;  // messages Carol has handled
  int dealt[3] = {};
  uint64_t turnsHeard[3] = {};  // turn beginnings each player has handled this game

  // The server ends a turn on its own clock, so it may be ahead of a player
  // whose messages are still on the way: such a player is compared only once
  // it has heard of every turn the server has begun.
  auto behind = [&](size_t i) {
    const server::User* user = server.lobby().FindUser(players[i]->myId());
    const server::Party* party = user == nullptr ? nullptr : server.lobby().FindParty(user->party);
    return party != nullptr && party->game && turnsHeard[i] < party->game->turnNumber();
  };
  auto check = [&](size_t i, std::string_view text) {
    if (text.starts_with("S_FIRSTHAND")) dealt[i] = 1, turnsHeard[i] = 0;
    if (text.starts_with("S_RESULT") || text.starts_with("S_QUITGAME")) dealt[i] = 0;
    if (text == "S_READY" || text.starts_with("S_OTURN,")) ++turnsHeard[i];
    if (dealt[i] == 0 || !disagreements.empty() || (i == 2 && catchingUp) || behind(i)) return;
    if (auto why = Disagreement(server.lobby(), *players[i])) {
      disagreements.push_back(std::string(names[i]) + " after \"" + std::string(text) + "\": " + *why);
    }
  };
  auto stallOn = [&](std::string_view text) -> std::optional<Stall> {
    const GameRoom* room = players[2]->room();
    if (text == "S_READY") return Stall::kBeforeDraw;
    if (text.starts_with("S_DREW,") && room != nullptr && room->state().trapPending) return Stall::kTrapOwed;
    if (text.starts_with("S_PLAYED")) return Stall::kAfterPlay;
    return std::nullopt;
  };
  for (size_t i = 0; i < 3; ++i) {
    bot::PlayerOptions options = PlayerAt(address, names[i], i == 0 ? Mode::kCreate : Mode::kJoinAny);
    options.gamesToStart = 2;
    players[i] = std::make_unique<HeadlessPlayer>(
        options, consoles[i].Sink(), consoles[i].Sink(), [&, i](std::string_view text) {
          if (i == 2) ++heard;
          check(i, text);
          if (i != 2 || silentUntil) return;
          const auto stall = stallOn(text);
          if (stall && stalled.insert(*stall).second) {
            silentUntil = std::chrono::steady_clock::now() + 2 * kTurnTime;
          }
        });
  }
  auto all = [&] {
    std::vector<HeadlessPlayer*> list;
    for (auto& player : players) list.push_back(player.get());
    return list;
  };
  for (auto& player : players) {
    ASSERT_TRUE(player->Start());
    ASSERT_TRUE(RunUntil(
        server, all(), [&] { return player->myId() != 0; }, 5s));
  }
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  auto finished = [&] {
    return std::all_of(std::begin(players), std::end(players),
                       [](const auto& p) { return p->results() == 2; });
  };
  while (!finished() && disagreements.empty() && std::chrono::steady_clock::now() < deadline) {
    server.server().RunOnce(1);
    players[0]->Poll(0);
    players[1]->Poll(0);
    if (silentUntil && std::chrono::steady_clock::now() < *silentUntil) continue;
    if (silentUntil) {
      // Back from silence: all that came meanwhile is read first, then
      // compared.
      silentUntil.reset();
      catchingUp = true;
      for (size_t before = heard + 1; before != heard;) {
        before = heard;
        players[2]->Poll(0);
      }
      catchingUp = false;
      if (behind(2)) {
        disagreements.push_back("Carol back: she never heard of every turn the server began");
      } else if (auto why = Disagreement(server.lobby(), *players[2])) {
        disagreements.push_back("Carol back: " + *why);
      }
      continue;
    }
    players[2]->Poll(0);
  }
  ASSERT_TRUE(disagreements.empty()) << disagreements.front();
  ASSERT_TRUE(finished()) << "the games did not end";
  EXPECT_TRUE(stalled.count(Stall::kBeforeDraw));
  EXPECT_TRUE(stalled.count(Stall::kAfterPlay));
  EXPECT_TRUE(stalled.count(Stall::kTrapOwed)) << "no trap for Carol with this seed";
  const auto& log = server.log();
  EXPECT_GE(std::count_if(
                log.begin(), log.end(),
                [](const std::string& line) { return line.find("without a turn end") != std::string::npos; }),
            static_cast<std::ptrdiff_t>(stalled.size()));
  for (const ConsoleRecord& console : consoles) EXPECT_EQ(console.Count("SYS: 結果発表！！"), 2u);
}

}  // namespace
}  // namespace gorvane::e2e
