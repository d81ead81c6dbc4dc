// SPDX-License-Identifier: GPL-3.0-or-later
// A headless player against a scripted peer on loopback: messages cut
// anywhere by the network reach the client whole, once and in order, and
// the connection's end is seen.
#include "bot/headless_player.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "scripted_peer.h"
#include "spine/sjis.h"

namespace gorvane::bot {
namespace {

using namespace std::string_literals;
using testing::ScriptedPeer;
using SteadyClock = std::chrono::steady_clock;

PlayerOptions At(const char* address) {
  PlayerOptions options;
  options.host = address;
  options.name = "Bot";
  options.cardListPath = "/nonexistent/longcardlist.txt";
  options.pauses = false;
  options.startAfter = {};
  return options;
}

template <typename Done>
bool PollUntil(HeadlessPlayer& player, Done done) {
  const auto deadline = SteadyClock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (SteadyClock::now() > deadline) return false;
    player.Poll(10);
  }
  return true;
}

TEST(HeadlessPlayer, HandlesMessagesCutAnywhereWholeOnceAndInOrder) {
  ScriptedPeer peer("127.0.0.80", {"S_CONN", "ECT,4,Welcome\0S_GREE"s, "TING,4,Bot\0S_CHAT A> a, \"b\"\0"s});
  ASSERT_TRUE(peer.bound());
  std::vector<std::string> seen;
  std::vector<std::string> console;
  std::vector<std::string> errors;
  HeadlessPlayer player(
      At("127.0.0.80"), [&](std::string_view line) { console.push_back(sjis::ToUtf8(line)); },
      [&](std::string_view line) { errors.push_back(sjis::ToUtf8(line)); },
      [&](std::string_view text) { seen.emplace_back(text); });
  ASSERT_TRUE(player.Start());
  ASSERT_TRUE(PollUntil(player, [&] { return seen.size() == 3; }));
  EXPECT_EQ(seen,
            (std::vector<std::string>{"S_CONNECT,4,Welcome", "S_GREETING,4,Bot", "S_CHAT A> a, \"b\""}));
  EXPECT_EQ(player.myId(), 4);
  ASSERT_GE(console.size(), 3u);
  EXPECT_EQ(console.back().substr(11), "A> a, \"b\"");
  // The card list could not be read: said once, and the player goes on.
  EXPECT_EQ(errors.size(), 1u);

  player.Quit();
  EXPECT_FALSE(player.online());
  EXPECT_EQ(console.back().substr(11), "SYS: サーバから切断されました...");
  EXPECT_FALSE(player.Poll(0));
  const auto deadline = SteadyClock::now() + std::chrono::seconds(5);
  while (!peer.clientClosed() && SteadyClock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(peer.clientClosed());
  EXPECT_EQ(peer.received(), "G_JOIN 4 Bot\0G_LIST 4 *\0G_PLIST 4 *\0G_BYE 4 *\0"s);
}

TEST(HeadlessPlayer, EndsWhenThePeerCloses) {
  ScriptedPeer peer("127.0.0.81", {"S_CONNECT,9,hi\0"s}, true);
  ASSERT_TRUE(peer.bound());
  std::vector<std::string> console;
  HeadlessPlayer player(At("127.0.0.81"),
                        [&](std::string_view line) { console.push_back(sjis::ToUtf8(line)); });
  ASSERT_TRUE(player.Start());
  bool open = true;
  ASSERT_TRUE(PollUntil(player, [&] { return !(open = player.Poll(10)); }));
  EXPECT_EQ(player.myId(), 9);
  EXPECT_FALSE(player.online());
  ASSERT_FALSE(console.empty());
  EXPECT_EQ(console.back().substr(11), "SYS: サーバから切断されました...");
}

TEST(HeadlessPlayer, ReportsAConnectNobodyAnswers) {
  std::vector<std::string> errors;
  HeadlessPlayer player(At("127.0.0.82"), {},
                        [&](std::string_view line) { errors.push_back(sjis::ToUtf8(line)); });
  ASSERT_TRUE(player.Start());
  ASSERT_TRUE(PollUntil(player, [&] { return !player.Poll(10); }));
  EXPECT_FALSE(player.online());
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back(), "サーバ接続が正常に完了しませんでした．");
}

}  // namespace
}  // namespace gorvane::bot
