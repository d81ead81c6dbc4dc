// SPDX-License-Identifier: GPL-3.0-or-later
// Who may connect: each address within its share of connections and of
// joins, none while it cools off after being cut off, and a bounded number
// of connections that have not joined yet, each for a bounded time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "server/base/limits.h"
#include "server/base/metrics.h"
#include "server/lobby/outbox.h"
#include "server/loop/connection_table.h"

namespace gorvane::server {

struct ServerOptions;

// How long an address whose connections were cut off for flooding is
// turned away (AddressWatch says how many it takes).
inline constexpr auto kCoolOff = std::chrono::minutes(1);

class Admission {
 public:
  // The options are read as they are when a connection comes in; the
  // table's connections are those admitted, and what is turned away is
  // logged to log.
  Admission(const ServerOptions& options, Metrics& metrics, ConnectionTable& table, LogSink log);
  Admission(const Admission&) = delete;
  Admission& operator=(const Admission&) = delete;

  // Whether a new socket from the address host (peer for the log) may come
  // in; when not, it is told so, closed and counted as the defence that
  // turned it away. lobbyHasRoom: whether the lobby can take one more.
  bool Admit(int fd, const std::string& host, const std::string& peer, bool lobbyHasRoom, TimePoint now);
  // The connection is in the table: counted for its address, and among the
  // unjoined until it joins or its time is up.
  void Admitted(Connection& connection, TimePoint now);
  // No longer counted among the connections that have not joined.
  void Uncount(Connection& connection);
  // A connection from the address is gone from the table.
  void Left(const std::string& address);

  // Counts a join; false when the address has joined too often lately.
  bool Join(const std::string& address, TimePoint now);
  // A connection from the address was cut off: the address cools off when
  // several were.
  void CutOff(const std::string& address, TimePoint now);

  // Connections that have not joined in time are dropped.
  void SweepUnjoined(TimePoint now);
  // When the oldest unjoined connection's time is up.
  std::optional<TimePoint> nextDeadline() const;
  size_t unjoined() const { return unjoined_; }

 private:
  // Takes the oldest connection that has still not joined off the waiting
  // list, when its time is up by dueBy (any time without one).
  Connection* NextUnjoined(std::optional<TimePoint> dueBy);
  // Makes room among the unjoined connections for a new one.
  void EvictOldestUnjoined();
  // Turns a new connection away, counted as the defence that did it.
  void TurnAway(int fd, const std::string& peer, Defence defence, const std::string& why);

  const ServerOptions& options_;
  Metrics& metrics_;
  ConnectionTable& table_;
  LogSink log_;
  std::unordered_map<std::string, size_t> perAddress_;
  AddressWatch addresses_;
  size_t unjoined_ = 0;
  // Admission order of the connections that may not have joined yet.
  std::deque<std::pair<TimePoint, uint64_t>> joinDeadlines_;
  // Turned-away connections are logged at most once a second.
  TimePoint turnedAwayLogged_{};
  size_t turnedAwayQuiet_ = 0;
};

}  // namespace gorvane::server
