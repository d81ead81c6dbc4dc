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

#include "server/limits.h"
#include "server/status_snapshot.h"

namespace gorvane::server {

enum class Defence;

struct HttpEndpoint {
  std::string address;
  uint16_t port = 0;  // 0: any free port
};

// What one browser or scraper may cost. A connection waits at the door
// until its request's head has arrived whole, then for a place among the
// workers and those waiting for one; one not let in within kHttpHoldTime is
// answered 503. The door holds at most kHttpHeld connections, and an
// address at most kHttpHeldPerAddress (any more are answered 503 at once);
// with kHttpHeld held it stops accepting.
inline constexpr size_t kHttpWorkers = 3;
inline constexpr size_t kHttpWaiting = 16;
inline constexpr size_t kHttpHeld = 256;
inline constexpr size_t kHttpHeldPerAddress = 32;
inline constexpr auto kHttpHoldTime = std::chrono::seconds(1);
// Requests an address may start: a burst, then a pace.
inline constexpr size_t kHttpBurst = 40;
inline constexpr size_t kHttpPerSecond = 20;
// Connections the system holds until they are accepted; one that has sent
// nothing is not handed over for its first kHttpIdle.
inline constexpr int kHttpBacklog = 1024;
// A request's line and headers; GET has no body.
inline constexpr size_t kHttpRequestBytes = size_t{16} * 1024;
inline constexpr size_t kHttpRequestsPerConnection = 20;
// For a request's first byte, the first one's and each next one's.
inline constexpr auto kHttpIdle = std::chrono::seconds(2);
// From a request's first byte to its last.
inline constexpr auto kHttpReadTime = std::chrono::seconds(5);
// For the whole answer to be taken.
inline constexpr auto kHttpWriteTime = std::chrono::seconds(10);
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
