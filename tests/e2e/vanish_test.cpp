// SPDX-License-Identifier: GPL-3.0-or-later
// A player whose connection vanishes in the middle of its turn: the others'
// game ends with the quit reset and the server goes on serving them.
#include <gtest/gtest.h>

#include "e2e_support.h"

namespace gorvane::e2e {
namespace {

using bot::HeadlessPlayer;
using bot::Mode;

TEST(VanishingPlayer, EndsTheGameForTheOthersAndTheServerGoesOn) {
  const std::string address = "127.0.0.60";
  LocalServer server(address, 11);
  ConsoleRecord consoles[4];
  const char* names[] = {"Alice", "Bob", "Carol", "Dave"};
  std::unique_ptr<HeadlessPlayer> players[4];
  bool vanishNow = false;
  int quitResets[4] = {};
  for (size_t i = 0; i < 3; ++i) {
    bot::PlayerOptions options = PlayerAt(address, names[i], i == 0 ? Mode::kCreate : Mode::kJoinAny);
    options.gamesToStart = 2;
    players[i] = std::make_unique<HeadlessPlayer>(options, consoles[i].Sink(), consoles[i].Sink(),
                                                  [&, i](std::string_view text) {
                                                    // Carol goes once she has drawn on her turn.
                                                    if (i == 2 && text.starts_with("S_DREW"))
                                                      vanishNow = true;
                                                    if (text.starts_with("S_QUITGAME")) ++quitResets[i];
                                                  });
  }
  auto present = [&] {
    std::vector<HeadlessPlayer*> list;
    for (auto& player : players) list.push_back(player.get());
    return list;
  };
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(players[i]->Start());
    ASSERT_TRUE(RunUntil(
        server, present(), [&] { return players[i]->myId() != 0; }, std::chrono::seconds(5)));
  }
  const int32_t carol = players[2]->myId();
  ASSERT_TRUE(RunUntil(
      server, present(), [&] { return vanishNow; }, std::chrono::seconds(10)));
  const party_t* mid = players[2]->room()->roster().Find(carol);
  ASSERT_TRUE(mid != nullptr && mid->isTurn) << "she is in the middle of her turn";
  players[2].reset();  // no goodbye: the socket just closes

  ASSERT_TRUE(RunUntil(
      server, present(), [&] { return quitResets[0] == 1 && quitResets[1] == 1; }, std::chrono::seconds(5)));
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(names[i]);
    const GameRoom& room = *players[i]->room();
    EXPECT_FALSE(room.state().gameRunning);
    const GameScreen& screen = room.screen();
    EXPECT_FALSE(screen.drawEnabled || screen.playEnabled || screen.pileEnabled || screen.turnEndEnabled);
    EXPECT_TRUE(screen.startEnabled);
    EXPECT_EQ(screen.handList.size(), 0u);
    EXPECT_EQ(room.roster().members.size(), 2u);
    EXPECT_EQ(room.roster().Find(carol), nullptr);
    for (const party_t& member : room.roster().members) {
      EXPECT_EQ(member.distance, 0);
      EXPECT_EQ(member.monster, -1);
      EXPECT_EQ(member.handCount, 7);
    }
    EXPECT_TRUE(consoles[i].Contains("SYS: Carolさんが脱退しました．ゲームを中断します．"));
    EXPECT_TRUE(consoles[i].Contains("SYS: Carolさんが退出しました．"));
    EXPECT_EQ(players[i]->results(), 0);
  }
  const server::User* alice = server.lobby().FindUser(players[0]->myId());
  ASSERT_NE(alice, nullptr);
  const server::Party* party = server.lobby().FindParty(alice->party);
  ASSERT_NE(party, nullptr);
  EXPECT_FALSE(party->game);
  EXPECT_EQ(party->members.size(), 2u);
  EXPECT_EQ(server.lobby().FindUser(carol), nullptr);

  // A newcomer is served and joins; the party plays a whole game again.
  bot::PlayerOptions options = PlayerAt(address, names[3], Mode::kJoinAny);
  players[3] = std::make_unique<HeadlessPlayer>(options, consoles[3].Sink(), consoles[3].Sink());
  ASSERT_TRUE(players[3]->Start());
  ASSERT_TRUE(RunUntil(
      server, present(),
      [&] { return players[0]->results() == 1 && players[1]->results() == 1 && players[3]->results() == 1; },
      std::chrono::seconds(20)));
  EXPECT_TRUE(consoles[0].Contains("SYS: Daveさんが参戦しました"));
  EXPECT_EQ(consoles[3].Count("SYS: 第"), 3u);
}

}  // namespace
}  // namespace gorvane::e2e
