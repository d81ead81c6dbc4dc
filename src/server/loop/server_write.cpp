// SPDX-License-Identifier: GPL-3.0-or-later
// What goes out to connections: each one's queue, written as its socket
// takes it, and the ends of connections, told goodbye, cut off or lost.
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>

#include "server/loop/connection.h"
#include "server/loop/server.h"

namespace gorvane::server {
namespace {

// How long a connection that was told goodbye may take to close its end.
constexpr auto kCloseGrace = std::chrono::seconds(2);
// Connections written to between two looks for new commands: a line to 500
// players must not keep the next command waiting for all 500 writes.
constexpr size_t kFlushBudget = 32;

}  // namespace

Connection* Server::Find(int32_t user) {
  const auto key = userKeys_.find(user);
  if (key == userKeys_.end()) return nullptr;
  Connection& connection = *connections_.at(key->second);
  return connection.dead ? nullptr : &connection;
}

void Server::Send(int32_t user, std::string_view message) {
  Connection* connection = Find(user);
  if (connection == nullptr) return;
  metrics_.Sent(message);
  connection->out.Append(message);
  Queued(*connection);
}

void Server::SendFramed(int32_t user, const Framed& message, ListSlot slot) {
  Connection* connection = Find(user);
  if (connection == nullptr) return;
  metrics_.Sent(*message);
  connection->out.Append(message, slot);
  Queued(*connection);
}

void Server::Queued(Connection& connection) {
  if (connection.out.empty()) return;
  if (connection.out.size() > kMaxQueued) {
    metrics_.Defended(Defence::kSlowReader);
    Drop(connection, "stopped reading: " + Count(connection.out.size()) + " bytes waiting");
    return;
  }
  if (connection.out.size() >= kPauseReadingAt && connection.interest.reading && !connection.closing) {
    Watch(connection);
    if (!connection.interest.reading) metrics_.Defended(Defence::kReadingPaused);
  }
  MarkDirty(connection);
}

void Server::MarkDirty(Connection& connection) {
  if (connection.listed.dirty || connection.out.empty()) return;
  connection.listed.dirty = true;
  dirty_.push_back(connection.key);
}

void Server::Close(int32_t user, std::string_view why) {
  const auto key = userKeys_.find(user);
  if (key == userKeys_.end()) return;
  Connection& connection = *connections_.at(key->second);
  userKeys_.erase(key);
  LogAbout(connection.address, "closing", "user " + std::to_string(user) + " closing: " + std::string(why));
  StartClosing(connection);
  // Nothing left to write: the shutdown goes out now.
  if (connection.out.empty()) Flush(connection);
  MarkDirty(connection);
}

void Server::Cut(int32_t user, std::string_view why) {
  Connection* connection = Find(user);
  if (connection == nullptr) return;
  addresses_.CutOff(connection->address, SteadyClock::now());
  Drop(*connection, "cut off: " + std::string(why));
}

void Server::Watch(Connection& connection) {
  if (connection.dead) return;
  const bool reading = connection.closing || (!connection.loginPending && !connection.listed.backlog &&
                                              connection.out.size() < kPauseReadingAt);
  const bool writing = !connection.out.empty();
  if (reading == connection.interest.reading && writing == connection.interest.writing) return;
  connection.interest.reading = reading;
  connection.interest.writing = writing;
  epoll_event event{};
  event.events = (reading ? EPOLLIN : 0u) | (writing ? EPOLLOUT : 0u);
  event.data.u64 = connection.key;
  epoll_ctl(epoll_, EPOLL_CTL_MOD, connection.fd, &event);
}

void Server::Flush(Connection& connection) {
  const size_t waiting = connection.out.size();
  const OutQueue::Result result = connection.out.WriteTo(connection.fd);
  if (const size_t written = waiting - connection.out.size(); written > 0) metrics_.BytesOut(written);
  if (result == OutQueue::Result::kError) {
    Drop(connection, ErrorText(errno));
    return;
  }
  Watch(connection);
  if (connection.closing && connection.out.empty() && !connection.shutDown) {
    ::shutdown(connection.fd, SHUT_WR);
    connection.shutDown = true;
  }
}

size_t Server::FlushSome() {
  size_t written = 0;
  while (written < kFlushBudget && !dirty_.empty()) {
    const uint64_t key = dirty_.front();
    dirty_.pop_front();
    const auto found = connections_.find(key);
    if (found == connections_.end()) continue;
    Connection& connection = *found->second;
    connection.listed.dirty = false;
    if (!connection.dead) Flush(connection);
    ++written;
  }
  return written;
}

void Server::Exceed(Connection& connection, Defence defence, const std::string& why) {
  metrics_.Defended(defence);
  // Behind whatever is still on its way to it (its S_CONNECT), never inside.
  metrics_.Sent("S_EXCEED");
  connection.out.Append("S_EXCEED");
  Flush(connection);
  Drop(connection, why);
}

void Server::Drop(Connection& connection, const std::string& why) {
  if (connection.dead) return;
  Joined(connection);
  connection.dead = true;
  if (connection.loginPending) logins_->Cancel(connection.key);
  dead_.push_back(connection.key);
  if (!connection.joined) {
    LogAbout(connection.address, "unjoined",
             "user " + std::to_string(connection.user) + " (" + connection.peer +
                 ") left without joining: " + why);
    return;
  }
  LogAbout(connection.address, connection.closing ? "gone" : "lost",
           "user " + std::to_string(connection.user) + " (" + connection.peer + ") " +
               (connection.closing ? "gone: " : "lost: ") + why);
}

void Server::Reap() {
  std::vector<uint64_t> keys;
  keys.swap(dead_);
  for (const uint64_t key : keys) {
    const auto found = connections_.find(key);
    if (found == connections_.end()) continue;
    const Connection& connection = *found->second;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, connection.fd, nullptr);
    const auto user = userKeys_.find(connection.user);
    const bool inLobby = user != userKeys_.end() && user->second == key;
    if (inLobby) userKeys_.erase(user);
    const auto from = perAddress_.find(connection.address);
    if (from != perAddress_.end() && --from->second == 0) perAddress_.erase(from);
    const int32_t id = connection.user;
    connections_.erase(found);
    metrics_.Connections(connections_.size(), unjoined_);
    // The lobby hears of the loss once the connection is gone, so that
    // nothing more is queued for it; not while everybody is told goodbye.
    if (inLobby && !farewell_) lobby_->Disconnect(id);
  }
  if (acceptPaused_ && listener_ >= 0) {
    acceptPaused_ = false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kListenerKey;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, listener_, &event);
  }
}

void Server::StartClosing(Connection& connection) {
  Joined(connection);
  connection.closing = true;
  connection.closeBy = SteadyClock::now() + kCloseGrace;
  closing_.push_back(connection.key);
  connection.inbox.clear();
  connection.inboxAt = 0;
  connection.unterminated = 0;
  Watch(connection);
}

}  // namespace gorvane::server
