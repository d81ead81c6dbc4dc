// SPDX-License-Identifier: GPL-3.0-or-later
// A headless leader on a real server starts the game only once its party
// has stayed as it is for the settle time, counted from the last join.
#include <gtest/gtest.h>

#include "e2e_support.h"

namespace gorvane::e2e {
namespace {

using bot::HeadlessPlayer;
using bot::Mode;
using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(LeaderWait, StartsOnlyOnceThePartyHasSettled) {
  // Whether the gate decides right is its own table; here, that the player
  // feeds it and heeds it: no start before the settle time, one after.
  const char* address = "127.0.0.64";
  const milliseconds startAfter(300);
  LocalServer server(address, 5);
  std::optional<SteadyClock::time_point> joined;  // the leader saw the third member
  std::optional<SteadyClock::time_point> dealt;   // the game's first hand came
  std::unique_ptr<HeadlessPlayer> players[3];
  const char* names[] = {"Alice", "Bob", "Carol"};
  for (size_t i = 0; i < 3; ++i) {
    bot::PlayerOptions options = PlayerAt(address, names[i], i == 0 ? Mode::kCreate : Mode::kJoinAny);
    options.startAfter = startAfter;
    options.gamesToStart = 1;
    HeadlessPlayer::MessageHook hook;
    if (i == 0) {
      hook = [&](std::string_view text) {
        const GameRoom* room = players[0]->room();
        if (!joined && room != nullptr && room->roster().members.size() == 3) joined = SteadyClock::now();
        if (!dealt && text.starts_with("S_FIRSTHAND")) dealt = SteadyClock::now();
      };
    }
    players[i] = std::make_unique<HeadlessPlayer>(options, HeadlessPlayer::LineSink{},
                                                  HeadlessPlayer::LineSink{}, hook);
  }
  const std::vector<HeadlessPlayer*> all = {players[0].get(), players[1].get(), players[2].get()};
  for (auto& player : players) ASSERT_TRUE(player->Start());
  ASSERT_TRUE(RunUntil(
      server, all, [&] { return joined.has_value(); }, std::chrono::seconds(5)));
  ASSERT_TRUE(RunUntil(
      server, all, [&] { return dealt.has_value(); }, std::chrono::seconds(2)));
  EXPECT_EQ(players[0]->gamesStarted(), 1);
  EXPECT_GE(*dealt - *joined, startAfter);
}

}  // namespace
}  // namespace gorvane::e2e
