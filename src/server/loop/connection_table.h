// SPDX-License-Identifier: GPL-3.0-or-later
// The server's connections: each one keyed, found by its key or its user,
// read into its inbox, written out from its queue as its socket takes it,
// watched on epoll as its state wants, and closed and reaped when done.
// What a connection's commands mean is the owner's business; the table
// tells it when a connection is dropped and when it is gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "server/base/limits.h"
#include "server/base/metrics.h"
#include "server/loop/connection.h"

namespace gorvane::server {

// Bytes a connection may send without a terminator before it is closed.
inline constexpr size_t kMaxUnterminated = size_t{64} * 1024;
// Bytes waiting to go to one connection before it counts as gone: a peer
// that stops reading must not make the server hold everything for it, and
// a thousand of them together hold about a gibibyte at most.
inline constexpr size_t kMaxQueued = size_t{1024} * 1024;
// With this much waiting for it, a connection's own commands are not read
// until it has taken some: a sender that does not read its answers slows
// itself before it is dropped.
inline constexpr size_t kPauseReadingAt = size_t{256} * 1024;

// What the table's owner hears about the ends of connections.
class ConnectionEvents {
 public:
  // The connection was just marked dead, for why; it is still in the table
  // until the next Reap.
  virtual void Dropped(Connection& connection, const std::string& why) = 0;
  // A dead connection was taken out of the table and closed; inLobby when
  // its user was still the lobby's to disconnect.
  virtual void Removed(int32_t user, const std::string& address, bool inLobby) = 0;

 protected:
  ~ConnectionEvents() = default;
};

class ConnectionTable {
 public:
  ConnectionTable(Metrics& metrics, ConnectionEvents& events) : metrics_(metrics), events_(events) {}
  ConnectionTable(const ConnectionTable&) = delete;
  ConnectionTable& operator=(const ConnectionTable&) = delete;

  // The epoll instance the connections are watched on.
  void WatchOn(int epoll) { epoll_ = epoll; }

  // Takes a new socket in, watched for reading, and gives it a user id;
  // nullptr with errno's value in error when epoll does not take it (the
  // socket is then closed).
  Connection* Add(int fd, const std::string& address, const std::string& peer, int& error);
  // The live connections by user and by key.
  Connection* FindUser(int32_t user);
  Connection* FindKey(uint64_t key);
  // The user's connection, dead or not, which its user no longer finds:
  // its lobby user is being let go of; nullptr when there is none.
  Connection* ReleaseUser(int32_t user);
  void ForEach(const std::function<void(Connection&)>& visit);

  size_t size() const { return connections_.size(); }
  bool empty() const { return connections_.empty(); }
  // Nothing waits to be written or for its turn.
  bool idle() const { return dirty_.empty() && backlog_.empty(); }
  bool anyClosing() const { return !closing_.empty(); }
  bool anyDead() const { return !dead_.empty(); }

  enum class Received {
    kNothing,   // nothing new to handle
    kBytes,     // new bytes in the inbox
    kFlooded,   // too much without a terminator: to be dropped
    kTlsHello,  // a plain connection opened with a ClientHello: to be closed
  };
  // Reads what the socket has into the inbox; a connection closed or
  // failing is dropped.
  Received Receive(Connection& connection);
  // The next whole command in the inbox, taken off it; none when only part
  // of one is there.
  std::optional<std::string_view> NextCommand(Connection& connection);
  // After a turn of commands: the inbox keeps only what is still to come,
  // and a connection with whole commands left waits in the backlog.
  void Handled(Connection& connection);
  // Gives each connection that waited in the backlog its turn through
  // process, then schedules its writing.
  void ServeBacklog(const std::function<void(Connection&)>& process);

  // A message was queued: bounds checked, writing scheduled.
  void Queued(Connection& connection);
  void MarkDirty(Connection& connection);
  void Flush(Connection& connection);
  // Writes out to a few of the connections that wait for it, oldest first;
  // how many.
  size_t FlushSome();
  // Reading and writing watched as the connection's state wants.
  void Watch(Connection& connection);

  // Tells a connection the server has no room for it, and drops it.
  void Exceed(Connection& connection, Defence defence, const std::string& why);
  // The connection is finished with; the owner hears why.
  void Drop(Connection& connection, const std::string& why);
  // Takes the dead connections out and closes them.
  void Reap();
  // Told goodbye: nothing more is read from it, and it has a while to
  // take what waits for it and close.
  void StartClosing(Connection& connection);
  // Connections told goodbye that have not closed in time are dropped.
  void SweepClosing(TimePoint now);
  // Every connection is given until deadline at most to close.
  void CloseAllBy(TimePoint deadline);
  // Closes every connection at once, with nothing more said to anybody.
  void Clear();

 private:
  int32_t NewUserId();
  // What Receive reads, from the socket or through the connection's TLS
  // session; -1 when the connection was dropped or nothing came.
  ssize_t ReadPlain(Connection& connection, std::span<char> buffer);
  ssize_t ReadTls(Connection& connection, std::span<char> buffer);

  Metrics& metrics_;
  ConnectionEvents& events_;
  int epoll_ = -1;
  uint64_t nextKey_ = 1;
  int32_t nextUser_ = 1;
  std::unordered_map<uint64_t, std::unique_ptr<Connection>> connections_;
  std::unordered_map<int32_t, uint64_t> userKeys_;
  // Connections whose commands wait for their next turn.
  std::deque<uint64_t> backlog_;
  std::deque<uint64_t> dirty_;
  std::vector<uint64_t> dead_;
  std::vector<uint64_t> closing_;
};

}  // namespace gorvane::server
