// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/loop/connection_table.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>

#include "server/base/net.h"
#include "spine/codec.h"

namespace gorvane::server {
namespace {

// How long a connection that was told goodbye may take to close its end.
constexpr auto kCloseGrace = std::chrono::seconds(2);
// Connections written to between two looks for new commands: a line to 500
// players must not keep the next command waiting for all 500 writes.
constexpr size_t kFlushBudget = 32;

}  // namespace

Connection* ConnectionTable::Add(int fd, const std::string& address, const std::string& peer, int& error) {
  auto owned = std::make_unique<Connection>();
  Connection& connection = *owned;
  connection.key = nextKey_++;
  connection.fd = fd;
  connection.address = address;
  connection.peer = peer;
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // A peer that vanished without closing is gone within two minutes.
  EnableKeepalive(fd, 60, 10, 6);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = connection.key;
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
    error = errno;
    return nullptr;
  }
  connections_.emplace(connection.key, std::move(owned));
  connection.user = NewUserId();
  userKeys_[connection.user] = connection.key;
  return &connection;
}

int32_t ConnectionTable::NewUserId() {
  // Ids go round rather than overflow on a server that runs for ever.
  for (;;) {
    const int32_t id = nextUser_;
    nextUser_ = nextUser_ == std::numeric_limits<int32_t>::max() ? 1 : nextUser_ + 1;
    if (!userKeys_.contains(id)) return id;
  }
}

Connection* ConnectionTable::FindUser(int32_t user) {
  const auto key = userKeys_.find(user);
  if (key == userKeys_.end()) return nullptr;
  Connection& connection = *connections_.at(key->second);
  return connection.dead ? nullptr : &connection;
}

Connection* ConnectionTable::FindKey(uint64_t key) {
  const auto found = connections_.find(key);
  if (found == connections_.end() || found->second->dead) return nullptr;
  return found->second.get();
}

Connection* ConnectionTable::ReleaseUser(int32_t user) {
  const auto key = userKeys_.find(user);
  if (key == userKeys_.end()) return nullptr;
  const auto found = connections_.find(key->second);
  userKeys_.erase(key);
  return found == connections_.end() ? nullptr : found->second.get();
}

void ConnectionTable::ForEach(const std::function<void(Connection&)>& visit) {
  for (auto& [key, connection] : connections_) visit(*connection);
}

ssize_t ConnectionTable::ReadPlain(Connection& connection, std::span<char> buffer) {
  const ssize_t got = ::recv(connection.fd, buffer.data(), buffer.size(), 0);
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
    Drop(connection, ErrorText(errno));
    return -1;
  }
  if (got == 0) {
    Drop(connection, connection.closing ? "closed after goodbye" : "closed the connection");
    return -1;
  }
  return got;
}

ssize_t ConnectionTable::ReadTls(Connection& connection, std::span<char> buffer) {
  // A record holds this much at most: read only while a whole one fits, so
  // that the session never keeps bytes that epoll cannot tell of.
  constexpr size_t kRecord = 16 * 1024;
  size_t got = 0;
  connection.tlsWantsWrite = false;
  while (buffer.size() - got >= kRecord) {
    ERR_clear_error();
    const int n = SSL_read(connection.tls.get(), buffer.data() + got, static_cast<int>(buffer.size() - got));
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    const int error = SSL_get_error(connection.tls.get(), n);
    if (error == SSL_ERROR_WANT_READ) break;
    if (error == SSL_ERROR_WANT_WRITE) {
      connection.tlsWantsWrite = true;
      Watch(connection);
      break;
    }
    if (error == SSL_ERROR_SYSCALL && errno == EINTR) continue;
    // What came before the end is still handled; the end is seen again on
    // the next read.
    if (got > 0) break;
    if (error == SSL_ERROR_ZERO_RETURN) {
      Drop(connection, connection.closing ? "closed after goodbye" : "closed the connection");
    } else {
      Drop(connection, "TLS: " + (error == SSL_ERROR_SYSCALL ? ErrorText(errno) : TlsErrorText()));
    }
    return -1;
  }
  return got > 0 ? static_cast<ssize_t>(got) : -1;
}

ConnectionTable::Received ConnectionTable::Receive(Connection& connection) {
  std::array<char, 64 * 1024> buffer;
  const ssize_t got = connection.tls ? ReadTls(connection, buffer) : ReadPlain(connection, buffer);
  if (got < 0) return Received::kNothing;
  metrics_.BytesIn(static_cast<size_t>(got));
  // After a goodbye nothing more is listened to.
  if (connection.closing) return Received::kNothing;
  const bool first = !connection.heard;
  connection.heard = true;
  if (first && !connection.tls && static_cast<unsigned char>(buffer[0]) == kTlsHandshakeByte) {
    return Received::kTlsHello;
  }
  if (connection.inboxAt == connection.inbox.size()) {
    connection.inbox.clear();
    connection.inboxAt = 0;
  }
  const std::string_view fresh(buffer.data(), static_cast<size_t>(got));
  connection.inbox.append(fresh);
  const size_t lastNul = fresh.rfind('\0');
  connection.unterminated =
      lastNul == std::string_view::npos ? connection.unterminated + fresh.size() : fresh.size() - lastNul - 1;
  return connection.unterminated > kMaxUnterminated ? Received::kFlooded : Received::kBytes;
}

std::optional<std::string_view> ConnectionTable::NextCommand(Connection& connection) {
  if (connection.inboxAt + connection.unterminated >= connection.inbox.size()) return std::nullopt;
  const size_t nul = connection.inbox.find('\0', connection.inboxAt);
  const std::string_view text = TrimMessage(
      std::string_view(connection.inbox).substr(connection.inboxAt, nul + 1 - connection.inboxAt));
  connection.inboxAt = nul + 1;
  return text;
}

void ConnectionTable::Handled(Connection& connection) {
  // Keep only what is still to come.
  if (connection.inboxAt > 0 && connection.inboxAt * 2 >= connection.inbox.size()) {
    connection.inbox.erase(0, connection.inboxAt);
    connection.inboxAt = 0;
  }
  const bool waiting = connection.inboxAt + connection.unterminated < connection.inbox.size();
  if (waiting && !connection.loginPending && !connection.joinHeld && !connection.listed.backlog) {
    connection.listed.backlog = true;
    backlog_.push_back(connection.key);
  }
  if (!waiting) connection.listed.backlog = false;
  Watch(connection);
}

void ConnectionTable::ServeBacklog(const std::function<void(Connection&)>& process) {
  for (size_t turns = backlog_.size(); turns > 0 && !backlog_.empty(); --turns) {
    const uint64_t key = backlog_.front();
    backlog_.pop_front();
    Connection* connection = FindKey(key);
    if (connection == nullptr) continue;
    connection->listed.backlog = false;
    process(*connection);
    MarkDirty(*connection);
  }
}

void ConnectionTable::Queued(Connection& connection) {
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

void ConnectionTable::MarkDirty(Connection& connection) {
  if (connection.listed.dirty || connection.out.empty()) return;
  connection.listed.dirty = true;
  dirty_.push_back(connection.key);
}

void ConnectionTable::Watch(Connection& connection) {
  if (connection.dead) return;
  const bool reading =
      connection.closing || (!connection.loginPending && !connection.joinHeld && !connection.listed.backlog &&
                             connection.out.size() < kPauseReadingAt);
  const bool writing = !connection.out.empty() || connection.tlsWantsWrite;
  if (reading == connection.interest.reading && writing == connection.interest.writing) return;
  connection.interest.reading = reading;
  connection.interest.writing = writing;
  epoll_event event{};
  event.events = (reading ? EPOLLIN : 0u) | (writing ? EPOLLOUT : 0u);
  event.data.u64 = connection.key;
  epoll_ctl(epoll_, EPOLL_CTL_MOD, connection.fd, &event);
}

void ConnectionTable::Flush(Connection& connection) {
  // A session in its handshake writes through SSL_accept alone.
  if (connection.stage != Connection::Stage::kGreeted) return;
  const size_t waiting = connection.out.size();
  const OutQueue::Result result =
      connection.tls ? connection.out.WriteTo(connection.tls.get()) : connection.out.WriteTo(connection.fd);
  if (const size_t written = waiting - connection.out.size(); written > 0) metrics_.BytesOut(written);
  if (result == OutQueue::Result::kError) {
    Drop(connection, connection.tls ? "TLS: " + TlsErrorText() : ErrorText(errno));
    return;
  }
  Watch(connection);
  if (connection.closing && connection.out.empty() && !connection.shutDown) {
    // close_notify first, once: a peer that does not take it loses nothing.
    if (connection.tls) {
      ERR_clear_error();
      SSL_shutdown(connection.tls.get());
      ERR_clear_error();
    }
    ::shutdown(connection.fd, SHUT_WR);
    connection.shutDown = true;
  }
}

size_t ConnectionTable::FlushSome() {
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

void ConnectionTable::Exceed(Connection& connection, Defence defence, const std::string& why) {
  metrics_.Defended(defence);
  // Behind whatever is still on its way to it (its S_CONNECT), never inside.
  metrics_.Sent("S_EXCEED");
  connection.out.Append("S_EXCEED");
  Flush(connection);
  Drop(connection, why);
}

void ConnectionTable::Drop(Connection& connection, const std::string& why) {
  if (connection.dead) return;
  connection.dead = true;
  dead_.push_back(connection.key);
  events_.Dropped(connection, why);
}

void ConnectionTable::Reap() {
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
    const int32_t id = connection.user;
    const std::string address = connection.address;
    connections_.erase(found);
    events_.Removed(id, address, inLobby);
  }
}

void ConnectionTable::StartClosing(Connection& connection) {
  connection.closing = true;
  connection.closeBy = SteadyClock::now() + kCloseGrace;
  closing_.push_back(connection.key);
  connection.inbox.clear();
  connection.inboxAt = 0;
  connection.unterminated = 0;
  Watch(connection);
}

void ConnectionTable::SweepClosing(TimePoint now) {
  if (closing_.empty()) return;
  std::erase_if(closing_, [&](uint64_t key) {
    const auto found = connections_.find(key);
    if (found == connections_.end()) return true;
    Connection& connection = *found->second;
    if (connection.dead) return false;
    if (now < connection.closeBy) return false;
    metrics_.Defended(Defence::kCloseTimeout);
    Drop(connection, "did not close after goodbye");
    return false;
  });
}

void ConnectionTable::CloseAllBy(TimePoint deadline) {
  for (auto& [key, connection] : connections_) connection->closeBy = std::min(connection->closeBy, deadline);
}

void ConnectionTable::Clear() {
  connections_.clear();
  dead_.clear();
  dirty_.clear();
  closing_.clear();
  backlog_.clear();
}

}  // namespace gorvane::server
