#include "server/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/ports.h"
#include "server/wire.h"

namespace gorvane::server {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kListenerKey = 0;
constexpr uint64_t kWakeKey = ~uint64_t{0};
// How long a connection that was told goodbye may take to close its end.
constexpr auto kCloseGrace = std::chrono::seconds(2);
constexpr int kMaxEvents = 256;
// Connections written to between two looks for new commands: a line to 500
// players must not keep the next command waiting for all 500 writes.
constexpr size_t kFlushBudget = 32;

std::string ErrorText(int error) { return std::strerror(error); }

std::string PeerText(const sockaddr_in& address) {
  std::array<char, INET_ADDRSTRLEN> text{};
  inet_ntop(AF_INET, &address.sin_addr, text.data(), text.size());
  return std::string(text.data()) + ":" + std::to_string(ntohs(address.sin_port));
}

// The card list reports through the client's ports; the server turns
// both into log lines, and an error into a refusal to start.
struct CardListReport : ErrorBox, DebugLog {
  explicit CardListReport(LogSink sink) : log(std::move(sink)) {}
  void ShowError(std::string_view text) override { errors += std::string(text); }
  void AppendLine(std::string_view line) override { log(line); }
  LogSink log;
  std::string errors;
};

}  // namespace

struct Server::Connection {
  uint64_t key = 0;
  int fd = -1;
  int32_t user = 0;  // 0 for a connection turned away
  std::string peer;
  MessageFramer framer{kMaxUnterminated};
  std::string out;
  size_t sent = 0;  // bytes at the front of out already written
  bool watchingWrites = false;
  bool dirty = false;
  bool closing = false;  // told goodbye: finish writing, then shut down
  bool shutDown = false;
  bool dead = false;
  Clock::time_point closeBy{};

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    if (fd >= 0) ::close(fd);
  }
};

Server::Server(ServerOptions options) : options_(std::move(options)), rng_(options_.seed) {}

Server::~Server() {
  connections_.clear();
  for (const int fd : {listener_, wake_, epoll_}) {
    if (fd >= 0) ::close(fd);
  }
}

void Server::Log(std::string_view line) const {
  std::string text = Printable(line, 4096);
  if (options_.log) {
    options_.log(text);
    return;
  }
  text.insert(0, "gorvane-server: ");
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stderr);
}

bool Server::Start(std::string& error) {
  const auto log = [this](std::string_view line) { Log(line); };
  CardListReport report(log);
  cards_.LoadCardList(options_.cardsPath, report, report);
  if (!report.errors.empty()) {
    error = "card list: " + report.errors;
    return false;
  }
  accounts_ = AccountStore::Open(options_.databasePath, error);
  if (!accounts_) return false;
  lobby_ = std::make_unique<Lobby>(cards_, *accounts_, rng_, static_cast<Outbox&>(*this), log);

  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (epoll_ < 0 || wake_ < 0 || listener_ < 0) {
    error = "cannot create the event loop: " + ErrorText(errno);
    return false;
  }
  const int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  if (inet_pton(AF_INET, options_.listenAddress.c_str(), &address.sin_addr) != 1) {
    error = "not an IPv4 address: " + options_.listenAddress;
    return false;
  }
  if (bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, SOMAXCONN) != 0) {
    error = options_.listenAddress + ":" + std::to_string(options_.port) + ": " + ErrorText(errno);
    return false;
  }
  socklen_t length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);

  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kListenerKey;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &event);
  event.data.u64 = kWakeKey;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
  Log("listening on " + options_.listenAddress + ":" + std::to_string(port_) + ", seed " +
      std::to_string(options_.seed));
  return true;
}

void Server::Run() {
  while (!stopping_.load()) RunOnce(-1);
}

void Server::Stop() {
  stopping_.store(true);
  const uint64_t one = 1;
  if (wake_ >= 0) {
    [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
  }
}

int Server::NextTimeout(int timeoutMs) const {
  if (closing_.empty()) return timeoutMs;
  constexpr int kSweep = 100;
  return timeoutMs < 0 ? kSweep : std::min(timeoutMs, kSweep);
}

int Server::RunOnce(int timeoutMs) {
  std::array<epoll_event, kMaxEvents> events{};
  // Output still waiting: look for new commands without waiting, then go on
  // writing.
  const int count =
      epoll_wait(epoll_, events.data(), kMaxEvents, dirty_.empty() ? NextTimeout(timeoutMs) : 0);
  if (count < 0) {
    if (errno != EINTR) Log("epoll_wait: " + ErrorText(errno));
    return 0;
  }
  for (int i = 0; i < count; ++i) {
    const uint64_t key = events[i].data.u64;
    if (key == kListenerKey) {
      Accept();
      continue;
    }
    if (key == kWakeKey) {
      uint64_t value = 0;
      [[maybe_unused]] const ssize_t got = ::read(wake_, &value, sizeof value);
      continue;
    }
    const auto found = connections_.find(key);
    if (found == connections_.end() || found->second->dead) continue;
    Connection& connection = *found->second;
    if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) Read(connection);
    if (!connection.dead && (events[i].events & EPOLLOUT)) Flush(connection);
  }
  SweepClosing();
  // A loss tells the others, which may find more connections gone.
  size_t written = 0;
  for (;;) {
    written += FlushSome();
    if (dead_.empty()) break;
    Reap();
  }
  // Still more to write: give way to anything else waiting for this CPU
  // before the next slice, so that one line to hundreds of players does not
  // hold other work on the machine off for milliseconds.
  if (!dirty_.empty()) sched_yield();
  return count + static_cast<int>(written);
}

void Server::StartClosing(Connection& connection) {
  connection.closing = true;
  connection.closeBy = Clock::now() + kCloseGrace;
  closing_.push_back(connection.key);
}

void Server::SweepClosing() {
  if (closing_.empty()) return;
  const auto now = Clock::now();
  std::erase_if(closing_, [&](uint64_t key) {
    const auto found = connections_.find(key);
    if (found == connections_.end()) return true;
    Connection& connection = *found->second;
    if (connection.dead) return false;
    if (now < connection.closeBy) return false;
    Drop(connection, "did not close after goodbye");
    return false;
  });
}

void Server::Accept() {
  for (;;) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const int fd =
        accept4(listener_, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      Admit(fd, PeerText(address));
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    // Out of descriptors or memory: stop listening for a while rather than
    // spin on a listener that stays readable; a closed connection resumes.
    Log("accept: " + ErrorText(errno) + "; not accepting until a connection closes");
    epoll_event event{};
    event.data.u64 = kListenerKey;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, listener_, &event);
    acceptPaused_ = true;
    return;
  }
}

void Server::Admit(int fd, const std::string& peer) {
  auto owned = std::make_unique<Connection>();
  Connection& connection = *owned;
  connection.key = nextKey_++;
  connection.fd = fd;
  connection.peer = peer;
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = connection.key;
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
    Log("connection from " + peer + " dropped: " + ErrorText(errno));
    return;
  }
  connections_.emplace(connection.key, std::move(owned));
  if (userKeys_.size() >= options_.maxUsers) {
    Log("connection from " + peer + " turned away: " + std::to_string(options_.maxUsers) + " users already");
    connection.out = std::string("S_EXCEED") + '\0';
    messagesOut_.fetch_add(1, std::memory_order_relaxed);
    StartClosing(connection);
    Flush(connection);
    return;
  }
  connection.user = nextUser_++;
  userKeys_[connection.user] = connection.key;
  Log("user " + std::to_string(connection.user) + " connected from " + peer);
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
  // After a goodbye nothing more is listened to.
  if (connection.closing) return;
  const auto result = connection.framer.Feed(std::string_view(buffer.data(), static_cast<size_t>(got)),
                                             [&](std::string_view text) {
                                               if (connection.closing || connection.dead) return;
                                               messagesIn_.fetch_add(1, std::memory_order_relaxed);
                                               lobby_->Handle(connection.user, text);
                                             });
  if (result == MessageFramer::Result::kOverflow) {
    Drop(connection, "sent more than 64 KiB without a NUL");
    return;
  }
  // The one who asked hears first.
  Flush(connection);
}

void Server::Send(int32_t user, std::string_view message) {
  const auto key = userKeys_.find(user);
  if (key == userKeys_.end()) return;
  Connection& connection = *connections_.at(key->second);
  if (connection.dead) return;
  connection.out.append(message);
  connection.out.push_back('\0');
  messagesOut_.fetch_add(1, std::memory_order_relaxed);
  if (connection.out.size() - connection.sent > kMaxQueued) {
    Drop(connection, "stopped reading");
    return;
  }
  if (!connection.dirty) {
    connection.dirty = true;
    dirty_.push_back(connection.key);
  }
}

void Server::Close(int32_t user) {
  const auto key = userKeys_.find(user);
  if (key == userKeys_.end()) return;
  Connection& connection = *connections_.at(key->second);
  userKeys_.erase(key);
  Log("user " + std::to_string(user) + " said goodbye");
  StartClosing(connection);
  if (!connection.dirty) {
    connection.dirty = true;
    dirty_.push_back(connection.key);
  }
}

void Server::WatchWrites(Connection& connection, bool on) {
  if (connection.watchingWrites == on) return;
  connection.watchingWrites = on;
  epoll_event event{};
  event.events = EPOLLIN | (on ? EPOLLOUT : 0u);
  event.data.u64 = connection.key;
  epoll_ctl(epoll_, EPOLL_CTL_MOD, connection.fd, &event);
}

void Server::Flush(Connection& connection) {
  while (connection.sent < connection.out.size()) {
    const ssize_t n = ::send(connection.fd, connection.out.data() + connection.sent,
                             connection.out.size() - connection.sent, MSG_NOSIGNAL);
    if (n > 0) {
      connection.sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    Drop(connection, ErrorText(errno));
    return;
  }
  if (connection.sent == connection.out.size()) {
    connection.out.clear();
    connection.sent = 0;
  } else if (connection.sent > kMaxUnterminated && connection.sent * 2 > connection.out.size()) {
    connection.out.erase(0, connection.sent);
    connection.sent = 0;
  }
  WatchWrites(connection, !connection.out.empty());
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
    connection.dirty = false;
    if (!connection.dead) Flush(connection);
    ++written;
  }
  return written;
}

void Server::Drop(Connection& connection, const std::string& why) {
  if (connection.dead) return;
  connection.dead = true;
  dead_.push_back(connection.key);
  if (connection.user == 0) return;
  Log("user " + std::to_string(connection.user) + " (" + connection.peer + ") " +
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
    const int32_t id = connection.user;
    connections_.erase(found);
    // The lobby hears of the loss once the connection is gone, so that
    // nothing more is queued for it.
    if (inLobby) lobby_->Disconnect(id);
  }
  if (acceptPaused_) {
    acceptPaused_ = false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kListenerKey;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, listener_, &event);
  }
}

}  // namespace gorvane::server
