#include "server/server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "spine/codec.h"
#include "spine/ports.h"
#include "spine/sjis.h"
#include "server/net.h"
#include "server/wire.h"

namespace gorvane::server {
namespace {

constexpr uint64_t kListenerKey = 0;
constexpr uint64_t kWakeKey = ~uint64_t{0};
constexpr uint64_t kSignalKey = ~uint64_t{1};
constexpr uint64_t kLoginKey = ~uint64_t{2};
// How long a connection that was told goodbye may take to close its end.
constexpr auto kCloseGrace = std::chrono::seconds(2);
constexpr int kMaxEvents = 256;
// Connections written to between two looks for new commands: a line to 500
// players must not keep the next command waiting for all 500 writes.
constexpr size_t kFlushBudget = 32;
// Connections accepted between two looks at the others: a flood of connects
// must not keep the users already in waiting.
constexpr int kAcceptBudget = 64;

std::string ErrorText(int error) { return std::strerror(error); }

std::string Count(size_t value) { return std::to_string(value); }

int Milliseconds(Duration duration) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(duration).count();
  return static_cast<int>(std::clamp<int64_t>(ms, 0, std::numeric_limits<int>::max()));
}

// The card list reports through the client's ports, in code page 932; the
// server turns both into log lines, and an error into a refusal to start
// (printed on a UTF-8 terminal or to the journal).
struct CardListReport : ErrorBox, DebugLog {
  explicit CardListReport(LogSink sink) : log(std::move(sink)) {}
  void ShowError(std::string_view text) override { errors += sjis::ToUtf8(text); }
  void AppendLine(std::string_view line) override { log(line); }
  LogSink log;
  std::string errors;
};

}  // namespace

struct Server::Connection {
  uint64_t key = 0;
  int fd = -1;
  int32_t user = 0;
  std::string address;  // what connections are counted by
  std::string peer;     // address and port, for the log
  // Bytes read and not handled yet, from inboxAt on: whole commands wait
  // here for their turn or for a login's answer, with no more read meanwhile.
  std::string inbox;
  size_t inboxAt = 0;
  // The bytes after the inbox's last NUL: each byte read is looked at once,
  // however slowly a command trickles in.
  size_t unterminated = 0;
  bool backlogged = false;
  OutQueue out;
  bool loginPending = false;
  bool joined = false;
  bool countedUnjoined = false;
  bool reading = true;
  bool writing = false;
  bool dirty = false;
  bool closing = false;  // told goodbye: finish writing, then shut down
  bool shutDown = false;
  bool dead = false;
  TimePoint closeBy{};

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    if (fd >= 0) ::close(fd);
  }
};

Server::Server(ServerOptions options)
    : options_(std::move(options)),
      rng_(options_.seed),
      addresses_(options_.broadcasts, options_.rateWindow, kCoolOff) {}

Server::~Server() {
  connections_.clear();
  lobby_.reset();
  logins_.reset();
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
  const auto address = ListenAddress(options_.listenAddress, options_.port);
  if (!address) {
    error = "not an IPv4 or IPv6 address: " + options_.listenAddress;
    return false;
  }
  accounts_ = AccountStore::Open(options_.databasePath, error);
  if (!accounts_) return false;
  logins_ = std::make_unique<LoginDesk>(*accounts_, options_.logins);
  LobbyRules rules;
  rules.maxUsers = options_.maxUsers;
  rules.chat = options_.chat;
  rules.broadcasts = options_.broadcasts;
  rules.window = options_.rateWindow;
  rules.turnTime = options_.turnTime;
  lobby_ = std::make_unique<Lobby>(cards_, *accounts_, rng_, static_cast<Outbox&>(*this), log, rules);

  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  listener_ = socket(address->family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (epoll_ < 0 || wake_ < 0 || listener_ < 0 || logins_->fd() < 0) {
    error = "cannot create the event loop: " + ErrorText(errno);
    return false;
  }
  const int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (address->family() == AF_INET6) {
    // "::" serves IPv4 clients as well.
    const int off = 0;
    setsockopt(listener_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  }
  if (bind(listener_, reinterpret_cast<const sockaddr*>(&address->storage), address->length) != 0 ||
      listen(listener_, SOMAXCONN) != 0) {
    error = options_.listenAddress + ":" + std::to_string(options_.port) + ": " + ErrorText(errno);
    return false;
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length);
  port_ = PortOf(bound);

  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kListenerKey;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &event);
  event.data.u64 = kWakeKey;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
  event.data.u64 = kLoginKey;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, logins_->fd(), &event);
  Log("listening on " + PeerText(bound) + ", seed " + std::to_string(options_.seed));

  rlimit files{};
  const size_t wanted = options_.maxUsers + options_.maxUnjoined + 64;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY && files.rlim_cur < wanted) {
    Log("warning: " + Count(options_.maxUsers) + " users and " + Count(options_.maxUnjoined) +
        " unjoined connections want about " + Count(wanted) + " file descriptors; the limit is " +
        Count(files.rlim_cur));
  }
  return true;
}

void Server::StopOn(int signalFd) {
  signal_ = signalFd;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kSignalKey;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, signalFd, &event);
}

void Server::Run() {
  while (!stopping_.load()) RunOnce(-1);
  Farewell();
}

void Server::Stop() {
  stopping_.store(true);
  const uint64_t one = 1;
  if (wake_ >= 0) {
    [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
  }
}

int Server::NextTimeout(int timeoutMs, TimePoint now) const {
  std::optional<TimePoint> next = nextTurnDeadline_;
  if (!joinDeadlines_.empty() && (!next || joinDeadlines_.front().first < *next)) {
    next = joinDeadlines_.front().first;
  }
  int timeout = timeoutMs;
  if (next) {
    const int until = Milliseconds(*next - now);
    timeout = timeout < 0 ? until : std::min(timeout, until);
  }
  if (!closing_.empty()) {
    constexpr int kSweep = 100;
    timeout = timeout < 0 ? kSweep : std::min(timeout, kSweep);
  }
  return timeout;
}

int Server::RunOnce(int timeoutMs) {
  std::array<epoll_event, kMaxEvents> events{};
  // Output still waiting: look for new commands without waiting, then go on
  // writing.
  const bool busy = !dirty_.empty() || !backlog_.empty();
  const int count =
      epoll_wait(epoll_, events.data(), kMaxEvents, busy ? 0 : NextTimeout(timeoutMs, SteadyClock::now()));
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
    if (key == kLoginKey) {
      CollectLogins();
      continue;
    }
    if (key == kSignalKey) {
      signalfd_siginfo info{};
      [[maybe_unused]] const ssize_t got = ::read(signal_, &info, sizeof info);
      Log("stopping on signal " + std::to_string(info.ssi_signo));
      stopping_.store(true);
      continue;
    }
    const auto found = connections_.find(key);
    if (found == connections_.end() || found->second->dead) continue;
    Connection& connection = *found->second;
    if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) Read(connection);
    if (!connection.dead && (events[i].events & EPOLLOUT)) Flush(connection);
  }
  ProcessBacklog();
  const TimePoint now = SteadyClock::now();
  SweepClosing(now);
  SweepUnjoined(now);
  if (!farewell_) nextTurnDeadline_ = lobby_->Tick(now);
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
  if (!dirty_.empty() || !backlog_.empty()) sched_yield();
  return count + static_cast<int>(written);
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

void Server::SweepClosing(TimePoint now) {
  if (closing_.empty()) return;
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

void Server::Joined(Connection& connection) {
  if (!connection.countedUnjoined) return;
  connection.countedUnjoined = false;
  --unjoined_;
}

Server::Connection* Server::NextUnjoined(std::optional<TimePoint> dueBy) {
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

void Server::SweepUnjoined(TimePoint now) {
  while (Connection* connection = NextUnjoined(now)) {
    Drop(*connection,
         "did not join within " +
             std::to_string(std::chrono::duration_cast<std::chrono::seconds>(options_.joinTime).count()) +
             " s");
  }
}

void Server::EvictOldestUnjoined() {
  Connection* connection = NextUnjoined(std::nullopt);
  if (connection == nullptr) return;
  Exceed(*connection, "gave way to a newer connection: " + Count(options_.maxUnjoined) + " had not joined");
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
    Log("accept: " + ErrorText(errno) + "; not accepting until a connection closes");
    epoll_event event{};
    event.data.u64 = kListenerKey;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, listener_, &event);
    acceptPaused_ = true;
    return;
  }
}

void Server::TurnAway(int fd, const std::string& peer, const std::string& why) {
  // A fresh socket takes these few bytes at once; nothing is kept for it.
  [[maybe_unused]] const ssize_t sent =
      ::send(fd, "S_EXCEED", sizeof "S_EXCEED", MSG_NOSIGNAL | MSG_DONTWAIT);
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
  const std::string host = HostOf(address);
  const std::string peer = PeerText(address);
  if (lobby_->joinedCount() >= options_.maxUsers) {
    TurnAway(fd, peer, Count(options_.maxUsers) + " users already");
    return;
  }
  const TimePoint now = SteadyClock::now();
  if (addresses_.CoolingOff(host, now)) {
    TurnAway(fd, peer, "a connection from that address was cut off lately");
    return;
  }
  if (addresses_.JoinsFull(host, now)) {
    TurnAway(fd, peer, "that address joined too often lately");
    return;
  }
  const auto from = perAddress_.find(host);
  if (from != perAddress_.end() && from->second >= options_.maxPerAddress) {
    TurnAway(fd, peer, Count(options_.maxPerAddress) + " connections from that address already");
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
  connection.user = NewUserId();
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
  if (waiting && !connection.loginPending && !connection.backlogged) {
    connection.backlogged = true;
    backlog_.push_back(connection.key);
  }
  if (!waiting) connection.backlogged = false;
  Watch(connection);
}

void Server::ProcessBacklog() {
  for (size_t turns = backlog_.size(); turns > 0 && !backlog_.empty(); --turns) {
    const uint64_t key = backlog_.front();
    backlog_.pop_front();
    const auto found = connections_.find(key);
    if (found == connections_.end() || found->second->dead) continue;
    Connection& connection = *found->second;
    connection.backlogged = false;
    Process(connection);
    MarkDirty(connection);
  }
}

void Server::Handle(Connection& connection, std::string_view text) {
  messagesIn_.fetch_add(1, std::memory_order_relaxed);
  const TimePoint now = SteadyClock::now();
  if (!connection.joined && ParseCommand(text).kind == "G_JOIN" &&
      !addresses_.Join(connection.address, now)) {
    // Every join and departure is told to everybody: an address that comes
    // and goes faster than the lobby broadcasts allow is turned away.
    Exceed(connection, "turned away: its address joined too often lately");
    return;
  }
  lobby_->Handle(connection.user, text, now);
  if (!connection.joined && !connection.dead && lobby_->IsJoined(connection.user)) {
    connection.joined = true;
    Joined(connection);
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

void Server::CollectLogins() {
  for (const LoginDesk::Answer& answer : logins_->Collect(SteadyClock::now())) {
    const auto found = connections_.find(answer.ticket);
    if (found == connections_.end() || found->second->dead) continue;
    Connection& connection = *found->second;
    if (answer.locked) {
      Log("logins from " + connection.address + " or for '" + Clip(answer.login) +
          "' are not checked for a while: too many failures");
    }
    connection.loginPending = false;
    lobby_->LoginAnswered(connection.user, answer.login, answer.outcome);
    Process(connection);
    MarkDirty(connection);
  }
}

Server::Connection* Server::Find(int32_t user) {
  const auto key = userKeys_.find(user);
  if (key == userKeys_.end()) return nullptr;
  Connection& connection = *connections_.at(key->second);
  return connection.dead ? nullptr : &connection;
}

void Server::Send(int32_t user, std::string_view message) {
  Connection* connection = Find(user);
  if (connection == nullptr) return;
  connection->out.Append(message);
  Queued(*connection);
}

void Server::SendFramed(int32_t user, const Framed& message, ListSlot slot) {
  Connection* connection = Find(user);
  if (connection == nullptr) return;
  connection->out.Append(message, slot);
  Queued(*connection);
}

void Server::Queued(Connection& connection) {
  if (connection.out.empty()) return;
  messagesOut_.fetch_add(1, std::memory_order_relaxed);
  if (connection.out.size() > kMaxQueued) {
    Drop(connection, "stopped reading: " + Count(connection.out.size()) + " bytes waiting");
    return;
  }
  if (connection.out.size() >= kPauseReadingAt && connection.reading && !connection.closing)
    Watch(connection);
  MarkDirty(connection);
}

void Server::MarkDirty(Connection& connection) {
  if (connection.dirty || connection.out.empty()) return;
  connection.dirty = true;
  dirty_.push_back(connection.key);
}

void Server::Close(int32_t user, std::string_view why) {
  const auto key = userKeys_.find(user);
  if (key == userKeys_.end()) return;
  Connection& connection = *connections_.at(key->second);
  userKeys_.erase(key);
  Log("user " + std::to_string(user) + " closing: " + std::string(why));
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
  const bool reading = connection.closing || (!connection.loginPending && !connection.backlogged &&
                                              connection.out.size() < kPauseReadingAt);
  const bool writing = !connection.out.empty();
  if (reading == connection.reading && writing == connection.writing) return;
  connection.reading = reading;
  connection.writing = writing;
  epoll_event event{};
  event.events = (reading ? EPOLLIN : 0u) | (writing ? EPOLLOUT : 0u);
  event.data.u64 = connection.key;
  epoll_ctl(epoll_, EPOLL_CTL_MOD, connection.fd, &event);
}

void Server::Flush(Connection& connection) {
  const size_t waiting = connection.out.size();
  const OutQueue::Result result = connection.out.WriteTo(connection.fd);
  bytesOut_.fetch_add(waiting - connection.out.size(), std::memory_order_relaxed);
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
    connection.dirty = false;
    if (!connection.dead) Flush(connection);
    ++written;
  }
  return written;
}

void Server::Exceed(Connection& connection, const std::string& why) {
  // Behind whatever is still on its way to it (its S_CONNECT), never inside.
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
    const auto from = perAddress_.find(connection.address);
    if (from != perAddress_.end() && --from->second == 0) perAddress_.erase(from);
    const int32_t id = connection.user;
    connections_.erase(found);
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

void Server::Farewell() {
  farewell_ = true;
  if (listener_ >= 0) {
    epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_, nullptr);
    ::close(listener_);
    listener_ = -1;
  }
  size_t told = 0;
  for (auto& [key, owned] : connections_) {
    Connection& connection = *owned;
    if (connection.dead || connection.closing) continue;
    if (!connection.joined) {
      Drop(connection, "the server is stopping");
      continue;
    }
    connection.out.Append("S_BYE");
    ++told;
    userKeys_.erase(connection.user);
    StartClosing(connection);
    MarkDirty(connection);
  }
  Log("stopping: goodbye to " + Count(told) + " users; games end without results");
  const TimePoint deadline = SteadyClock::now() + kFarewellTime;
  for (auto& [key, connection] : connections_) connection->closeBy = std::min(connection->closeBy, deadline);
  while (!connections_.empty() && SteadyClock::now() < deadline) RunOnce(50);
  connections_.clear();
  dead_.clear();
  dirty_.clear();
  closing_.clear();
  backlog_.clear();
  lobby_.reset();
  logins_.reset();
  if (accounts_) {
    Log(accounts_->Close() ? "database closed" : "the database did not close cleanly");
    accounts_.reset();
  }
}

}  // namespace gorvane::server
