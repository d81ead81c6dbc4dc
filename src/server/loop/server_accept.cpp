// SPDX-License-Identifier: GPL-3.0-or-later
// Connections coming in: accepted or turned away, counted until they join,
// read and cut into commands for the lobby.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <limits>

#include "server/base/net.h"
#include "server/base/wire.h"
#include "server/loop/connection.h"
#include "server/loop/server.h"
#include "spine/codec.h"

namespace gorvane::server {
namespace {

// Connections accepted between two looks at the others: a flood of connects
// must not keep the users already in waiting.
constexpr int kAcceptBudget = 64;

}  // namespace

void Server::Joined(Connection& connection) {
  if (!connection.countedUnjoined) return;
  connection.countedUnjoined = false;
  --unjoined_;
  metrics_.Connections(connections_.size(), unjoined_);
}

Connection* Server::NextUnjoined(std::optional<TimePoint> dueBy) {
  while (!joinDeadlines_.empty()) {
    const auto [deadline, key] = joinDeadlines_.front();
    if (dueBy && deadline > *dueBy) return nullptr;
    joinDeadlines_.pop_front();
    const auto found = connections_.find(key);
    if (found == connections_.end()) continue;
    Connection& connection = *found->second;
    if (connection.countedUnjoined && !connection.dead) return &connection;
  }
  return nullptr;
}

void Server::EvictOldestUnjoined() {
  Connection* connection = NextUnjoined(std::nullopt);
  if (connection == nullptr) return;
  Exceed(*connection, Defence::kUnjoinedEvicted,
         "gave way to a newer connection: " + Count(options_.maxUnjoined) + " had not joined");
}

void Server::Accept() {
  for (int accepted = 0; accepted < kAcceptBudget; ++accepted) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int fd =
        accept4(listener_, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      Admit(fd, address);
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    // Out of descriptors or memory: stop listening for a while rather than
    // spin on a listener that stays readable; a closed connection resumes.
    metrics_.Defended(Defence::kAcceptPaused);
    Log("accept: " + ErrorText(errno) + "; not accepting until a connection closes");
    epoll_event event{};
    event.data.u64 = kListenerKey;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, listener_, &event);
    acceptPaused_ = true;
    return;
  }
}

void Server::TurnAway(int fd, const std::string& peer, Defence defence, const std::string& why) {
  metrics_.Defended(defence);
  // A fresh socket takes these few bytes at once; nothing is kept for it.
  const ssize_t sent = ::send(fd, "S_EXCEED", sizeof "S_EXCEED", MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent > 0) {
    metrics_.Sent("S_EXCEED");
    metrics_.BytesOut(static_cast<size_t>(sent));
  }
  ::shutdown(fd, SHUT_WR);
  ::close(fd);
  const TimePoint now = SteadyClock::now();
  if (now - turnedAwayLogged_ < std::chrono::seconds(1)) {
    ++turnedAwayQuiet_;
    return;
  }
  std::string line = "connection from " + peer + " turned away: " + why;
  if (turnedAwayQuiet_ > 0) line += " (" + Count(turnedAwayQuiet_) + " more turned away since the last line)";
  Log(line);
  turnedAwayLogged_ = now;
  turnedAwayQuiet_ = 0;
}

int32_t Server::NewUserId() {
  // Ids go round rather than overflow on a server that runs for ever.
  for (;;) {
    const int32_t id = nextUser_;
    nextUser_ = nextUser_ == std::numeric_limits<int32_t>::max() ? 1 : nextUser_ + 1;
    if (!userKeys_.contains(id)) return id;
  }
}

void Server::Admit(int fd, const sockaddr_storage& address) {
  const std::string host = AddressKey(address, options_.ipv6Prefix);
  const std::string peer = PeerText(address);
  const TimePoint now = SteadyClock::now();
  if (!lobby_->CanMakeRoom(now)) {
    TurnAway(fd, peer, Defence::kServerFull, Count(options_.maxUsers) + " users already");
    return;
  }
  if (addresses_.CoolingOff(host, now)) {
    TurnAway(fd, peer, Defence::kBanned, "a connection from that address was cut off lately");
    return;
  }
  if (addresses_.JoinsFull(host, now)) {
    TurnAway(fd, peer, Defence::kAddressJoins, "that address joined too often lately");
    return;
  }
  const auto from = perAddress_.find(host);
  if (from != perAddress_.end() && from->second >= options_.maxPerAddress) {
    TurnAway(fd, peer, Defence::kAddressConnections,
             Count(options_.maxPerAddress) + " connections from that address already");
    return;
  }
  if (unjoined_ >= options_.maxUnjoined) EvictOldestUnjoined();

  auto owned = std::make_unique<Connection>();
  Connection& connection = *owned;
  connection.key = nextKey_++;
  connection.fd = fd;
  connection.address = host;
  connection.peer = peer;
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // A peer that vanished without closing is gone within two minutes.
  EnableKeepalive(fd, 60, 10, 6);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = connection.key;
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
    Log("connection from " + peer + " dropped: " + ErrorText(errno));
    return;
  }
  connections_.emplace(connection.key, std::move(owned));
  ++perAddress_[host];
  connection.countedUnjoined = true;
  ++unjoined_;
  joinDeadlines_.emplace_back(now + options_.joinTime, connection.key);
  metrics_.Connections(connections_.size(), unjoined_);
  connection.user = NewUserId();
  userKeys_[connection.user] = connection.key;
  // Logged once it joins, or in one line when it leaves without joining:
  // connect-and-close must not write two lines a time.
  lobby_->Connect(connection.user);
  Flush(connection);
}

void Server::Read(Connection& connection) {
  std::array<char, 64 * 1024> buffer;
  const ssize_t got = ::recv(connection.fd, buffer.data(), buffer.size(), 0);
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    Drop(connection, ErrorText(errno));
    return;
  }
  if (got == 0) {
    Drop(connection, connection.closing ? "closed after goodbye" : "closed the connection");
    return;
  }
  metrics_.BytesIn(static_cast<size_t>(got));
  // After a goodbye nothing more is listened to.
  if (connection.closing) return;
  if (connection.inboxAt == connection.inbox.size()) {
    connection.inbox.clear();
    connection.inboxAt = 0;
  }
  const std::string_view fresh(buffer.data(), static_cast<size_t>(got));
  connection.inbox.append(fresh);
  const size_t lastNul = fresh.rfind('\0');
  connection.unterminated =
      lastNul == std::string_view::npos ? connection.unterminated + fresh.size() : fresh.size() - lastNul - 1;
  if (connection.unterminated > kMaxUnterminated) {
    metrics_.Defended(Defence::kUnterminated);
    addresses_.CutOff(connection.address, SteadyClock::now());
    Drop(connection, "sent more than 64 KiB without a NUL");
    return;
  }
  Process(connection);
  if (connection.dead) return;
  // The one who asked hears first.
  Flush(connection);
}

void Server::Process(Connection& connection) {
  size_t handled = 0;
  while (!connection.loginPending && !connection.closing && !connection.dead && handled < kCommandsPerTurn) {
    if (connection.inboxAt + connection.unterminated >= connection.inbox.size()) break;
    const size_t nul = connection.inbox.find('\0', connection.inboxAt);
    const std::string_view text = TrimMessage(
        std::string_view(connection.inbox).substr(connection.inboxAt, nul + 1 - connection.inboxAt));
    connection.inboxAt = nul + 1;
    ++handled;
    Handle(connection, text);
  }
  if (connection.dead || connection.closing) return;
  // Keep only what is still to come.
  if (connection.inboxAt > 0 && connection.inboxAt * 2 >= connection.inbox.size()) {
    connection.inbox.erase(0, connection.inboxAt);
    connection.inboxAt = 0;
  }
  const bool waiting = connection.inboxAt + connection.unterminated < connection.inbox.size();
  if (waiting && !connection.loginPending && !connection.listed.backlog) {
    connection.listed.backlog = true;
    backlog_.push_back(connection.key);
  }
  if (!waiting) connection.listed.backlog = false;
  Watch(connection);
}

void Server::ProcessBacklog() {
  for (size_t turns = backlog_.size(); turns > 0 && !backlog_.empty(); --turns) {
    const uint64_t key = backlog_.front();
    backlog_.pop_front();
    const auto found = connections_.find(key);
    if (found == connections_.end() || found->second->dead) continue;
    Connection& connection = *found->second;
    connection.listed.backlog = false;
    Process(connection);
    MarkDirty(connection);
  }
}

void Server::Handle(Connection& connection, std::string_view text) {
  metrics_.Received(text);
  const TimePoint now = SteadyClock::now();
  if (!connection.joined && ParseCommand(text).kind == "G_JOIN" &&
      !addresses_.Join(connection.address, now)) {
    // Every join and departure is told to everybody: an address that comes
    // and goes faster than the lobby broadcasts allow is turned away.
    Exceed(connection, Defence::kAddressJoins, "turned away: its address joined too often lately");
    return;
  }
  lobby_->Handle(connection.user, text, now);
  if (!connection.joined && !connection.dead && lobby_->IsJoined(connection.user)) {
    connection.joined = true;
    Joined(connection);
    LogAbout(connection.address, "join",
             "user " + std::to_string(connection.user) + " joined from " + connection.peer);
  }
}

void Server::CheckLogin(int32_t user, const std::string& login, const std::string& password) {
  Connection* connection = Find(user);
  if (connection == nullptr) return;
  const auto outcome =
      logins_->Begin(connection->key, connection->address, login, password, SteadyClock::now());
  if (outcome) {
    lobby_->LoginAnswered(user, login, *outcome);
    return;
  }
  // Nothing more from this user is handled or read until the answer.
  connection->loginPending = true;
  Watch(*connection);
}

void Server::StoreFailed(const std::string& why) {
  const TimePoint now = SteadyClock::now();
  if (storeLogged_ && now - *storeLogged_ < kResultReportGap) {
    ++storeQuiet_;
    return;
  }
  Log("logins answered as wrong passwords: the account store failed: " + why +
      (storeQuiet_ > 0 ? " (and " + Count(storeQuiet_) + " more since the last report)" : ""));
  storeLogged_ = now;
  storeQuiet_ = 0;
}

void Server::CollectLogins() {
  for (const LoginDesk::Answer& answer : logins_->Collect(SteadyClock::now())) {
    const auto found = connections_.find(answer.ticket);
    if (found == connections_.end() || found->second->dead) continue;
    Connection& connection = *found->second;
    if (answer.locked) {
      metrics_.Defended(Defence::kLoginLockout);
      LogAbout(connection.address, "login lock",
               "logins from " + connection.address + " are not checked for a while: too many failures");
    }
    if (answer.outcome == LoginOutcome::kFailed) StoreFailed(answer.why);
    connection.loginPending = false;
    lobby_->LoginAnswered(connection.user, answer.login, answer.outcome);
    Process(connection);
    MarkDirty(connection);
  }
}

}  // namespace gorvane::server
