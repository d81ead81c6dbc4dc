// SPDX-License-Identifier: GPL-3.0-or-later
// The server over HTTP, for the host and the players: /metrics for the
// host's monitoring, /healthz for whatever restarts a stuck server, and at /
// a status page of who is online, the parties, the games and the rankings.
// It runs on threads of its own at a lower priority and reads the database
// on a connection of its own: the game loop only hands it a heartbeat each
// turn and, at most once a second, a snapshot of the lobby, and never waits
// for it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "server/base/limits.h"
#include "server/http/status_snapshot.h"

namespace gorvane::server {

enum class Defence;

struct HttpEndpoint {
  std::string address;
  uint16_t port = 0;  // 0: any free port
};

// A loop whose last turn is older than this counts as stuck.
inline constexpr auto kLoopStuckAfter = std::chrono::seconds(3);
// The longest the database may take over one question from this side.
inline constexpr auto kHttpStoreWait = std::chrono::milliseconds(1000);

class HttpSide {
 public:
  struct Sources {
    // The /metrics text; called on the HTTP threads.
    std::function<std::string()> metrics;
    // --db, opened again on a connection of this side's own.
    std::string database;
    // Counts a defence at work at the door; called on the HTTP threads.
    std::function<void(Defence)> defended;
    // --ipv6-prefix: how an IPv6 address is counted by its limits.
    int ipv6Prefix = 64;
    // The address players connect to, for the status page.
    std::string playersAddress;
  };

  // Listening and serving; nothing, with the reason in error, when the
  // address cannot be had.
  static std::unique_ptr<HttpSide> Start(const HttpEndpoint& where, Sources sources, std::string& error);
  struct Impl;
  explicit HttpSide(std::unique_ptr<Impl> impl);
  // Stops serving; returns once its threads have ended.
  ~HttpSide();
  HttpSide(const HttpSide&) = delete;
  HttpSide& operator=(const HttpSide&) = delete;

  uint16_t port() const;

  // From the loop: it has turned.
  void Beat(TimePoint now);
  // From the loop: what the status page shows from now on.
  void Publish(std::shared_ptr<const LobbySnapshot> snapshot);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace gorvane::server
