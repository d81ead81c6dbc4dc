// SPDX-License-Identifier: GPL-3.0-or-later
// Whole games on loopback: the real server in this process and headless
// players on the client's logic, all driven from the test's thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bot/headless_player.h"
#include "server/loop/server.h"

namespace gorvane::e2e {

// The deck the program ships.
std::string CardListPath();

// A server listening on address:21012 with a seeded deck; what it logs is
// kept, not printed.
class LocalServer {
 public:
  LocalServer(const std::string& address, uint32_t seed,
              const std::function<void(server::ServerOptions&)>& adjust = {});
  server::Server& server() { return server_; }
  const server::Lobby& lobby() const { return server_.lobby(); }
  const std::vector<std::string>& log() const { return log_; }

 private:
  std::vector<std::string> log_;
  server::Server server_;
};

// A player for address:21012 without the lobby's pauses.
bot::PlayerOptions PlayerAt(const std::string& address, std::string_view name, bot::Mode mode);

// Console lines of one player, as UTF-8.
struct ConsoleRecord {
  std::vector<std::string> lines;
  bot::HeadlessPlayer::LineSink Sink();
  bool Contains(std::string_view utf8) const;
  size_t Count(std::string_view utf8) const;
};

// Runs the server and every player that is there until done() holds or
// the time is up; whether done() held.
bool RunUntil(LocalServer& server, const std::vector<bot::HeadlessPlayer*>& players,
              const std::function<bool()>& done, std::chrono::milliseconds limit);

// Where the player's own roster record, hand and charm differ from what the
// server holds for it, or nothing; nothing as well while there is no game
// to compare with. Marks and the charm are compared only while no command
// waits.
std::optional<std::string> Disagreement(const server::Lobby& lobby, const bot::HeadlessPlayer& player);

}  // namespace gorvane::e2e
