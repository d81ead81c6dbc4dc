// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/loop/server.h"

#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
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
#include <limits>

#include "server/base/net.h"
#include "server/base/wire.h"
#include "server/lobby/moderation.h"
#include "server/loop/connection.h"
#include "server/store/off_loop.h"
#include "spine/fields.h"
#include "spine/ports.h"
#include "spine/sjis.h"

namespace gorvane::server {
namespace {

constexpr uint64_t kWakeKey = ~uint64_t{0};
constexpr uint64_t kSignalKey = ~uint64_t{1};
constexpr uint64_t kLoginKey = ~uint64_t{2};
constexpr uint64_t kOffLoopKey = ~uint64_t{3};
constexpr int kMaxEvents = 256;

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

Server::Server(ServerOptions options)
    : options_(std::move(options)),
      metrics_(Lobby::CommandKinds()),
      rng_(options_.seed),
      table_(metrics_, *this),
      admission_(options_, metrics_, table_, [this](std::string_view line) { Log(line); }) {}

Server::~Server() {
  // Its threads ask for the counters.
  http_.reset();
  table_.Clear();
  // Its jobs use the lobby's accounts: done before they go.
  offLoop_.reset();
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

void Server::LogAbout(const std::string& address, std::string_view kind, std::string_view line) {
  if (logLimit_.Admit(address, kind, SteadyClock::now())) {
    Log(line);
    return;
  }
  metrics_.Defended(Defence::kLogSuppressed);
}

void Server::LogFromLobby(std::string_view line) {
  // The lobby speaks of users; the log's share is the address's.
  if (line.starts_with("user ")) {
    const std::string_view rest = line.substr(5);
    const auto id = ParseInt32(rest.substr(0, rest.find_first_of(": ")));
    if (Connection* connection = id ? table_.FindUser(*id) : nullptr) {
      LogAbout(connection->address, "lobby", line);
      return;
    }
  }
  Log(line);
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
  timedAccounts_ = std::make_unique<TimedStore>(*accounts_, metrics_);
  logins_ = std::make_unique<LoginDesk>(*timedAccounts_, options_.logins);
  LobbyRules rules;
  rules.maxUsers = options_.maxUsers;
  rules.chat = options_.chat;
  rules.broadcasts = options_.broadcasts;
  rules.commands = options_.commands;
  rules.window = options_.rateWindow;
  rules.turnTime = options_.turnTime;
  rules.idleGiveWay = options_.idleGiveWay;
  rules.registrationOpen = options_.registrationOpen;
  rules.ipv6Prefix = options_.ipv6Prefix;
  lobby_ = std::make_unique<Lobby>(
      cards_, *timedAccounts_, rng_, static_cast<Outbox&>(*this),
      [this](std::string_view line) { LogFromLobby(line); }, rules, &metrics_);

  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  table_.WatchOn(epoll_);
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
  offLoop_ = std::make_unique<class OffLoop>();
  event.data.u64 = kOffLoopKey;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, offLoop_->fd(), &event);
  Log("listening on " + PeerText(bound) + ", seed " + std::to_string(options_.seed));
  if (!StartTls(error)) return false;
  if (!StartHttp(error)) return false;

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

void Server::OffLoop(std::function<std::function<void()>()> job) {
  if (!offLoop_) {
    Outbox::OffLoop(std::move(job));
    return;
  }
  offLoop_->Submit(std::move(job));
}

bool Server::OffLoopIdle() const { return !offLoop_ || offLoop_->pending() == 0; }

int Server::NextTimeout(int timeoutMs, TimePoint now) const {
  std::optional<TimePoint> next = nextTurnDeadline_;
  if (moderationDue_ && !moderationReading_ && (!next || *moderationDue_ < *next)) next = moderationDue_;
  if (const auto join = admission_.nextDeadline(); join && (!next || *join < *next)) next = join;
  if (!sniffing_.empty() && (!next || sniffing_.front().first < *next)) next = sniffing_.front().first;
  // A login check waiting for its login's budget.
  if (const auto due = logins_->NextDue(); due && (!next || *due < *next)) next = due;
  // A burst's summary line is written when its window is over.
  if (const TimePoint summary = logLimit_.nextSummary();
      summary != TimePoint::max() && (!next || summary < *next)) {
    next = summary;
  }
  int timeout = timeoutMs;
  if (next) {
    const int until = Milliseconds(*next - now);
    timeout = timeout < 0 ? until : std::min(timeout, until);
  }
  if (table_.anyClosing()) {
    constexpr int kSweep = 100;
    timeout = timeout < 0 ? kSweep : std::min(timeout, kSweep);
  }
  if (http_) {
    // Even idle, the loop is seen turning: /healthz tells stuck from quiet.
    constexpr int kHeartbeat = 1000;
    timeout = timeout < 0 ? kHeartbeat : std::min(timeout, kHeartbeat);
  }
  return timeout;
}

void Server::ReadModeration(TimePoint now) {
  if (moderationReading_ || (moderationDue_ && now < *moderationDue_)) return;
  moderationReading_ = true;
  moderationDue_ = now + kModerationReadEvery;
  const int64_t began = SystemSeconds();
  OffLoop([this, began] {
    std::string error;
    auto state = timedAccounts_->ReadModeration(began, error);
    return std::function<void()>([this, began, state = std::move(state), error]() mutable {
      moderationReading_ = false;
      if (!state) {
        // The book stays as it is; a store down for an hour is one line.
        if (!moderationFailing_) Log("moderation: cannot read the store, keeping what is known: " + error);
        moderationFailing_ = true;
        return;
      }
      if (moderationFailing_) Log("moderation: the store reads again");
      moderationFailing_ = false;
      lobby_->ModerationRead(std::move(*state), began);
    });
  });
}

void Server::ReleaseJoins() {
  std::erase_if(heldJoins_, [this](uint64_t key) {
    Connection* connection = table_.FindKey(key);
    if (connection == nullptr) return true;
    const User* user = lobby_->FindUser(connection->user);
    if (user != nullptr && user->joinWaiting) return false;
    connection->joinHeld = false;
    Process(*connection);
    table_.MarkDirty(*connection);
    return true;
  });
}

int Server::RunOnce(int timeoutMs) {
  std::array<epoll_event, kMaxEvents> events{};
  // Output still waiting: look for new commands without waiting, then go on
  // writing.
  const bool busy = !table_.idle();
  const int count =
      epoll_wait(epoll_, events.data(), kMaxEvents, busy ? 0 : NextTimeout(timeoutMs, SteadyClock::now()));
  if (count < 0) {
    if (errno != EINTR) Log("epoll_wait: " + ErrorText(errno));
    return 0;
  }
  const TimePoint turnStart = SteadyClock::now();
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
    if (key == kOffLoopKey) {
      offLoop_->RunReplies();
      continue;
    }
    if (key == kSignalKey) {
      signalfd_siginfo info{};
      [[maybe_unused]] const ssize_t got = ::read(signal_, &info, sizeof info);
      if (info.ssi_signo == SIGHUP) {
        ReloadTls();
        continue;
      }
      Log("stopping on signal " + std::to_string(info.ssi_signo));
      stopping_.store(true);
      continue;
    }
    Connection* connection = table_.FindKey(key);
    if (connection == nullptr) continue;
    if (connection->stage != Connection::Stage::kGreeted) {
      Settle(*connection);
      continue;
    }
    // A TLS read may have waited for the socket to take bytes.
    if ((events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) ||
        (connection->tlsWantsWrite && (events[i].events & EPOLLOUT)))
      Read(*connection);
    if (!connection->dead && (events[i].events & EPOLLOUT)) table_.Flush(*connection);
  }
  table_.ServeBacklog([this](Connection& connection) { Process(connection); });
  const TimePoint now = SteadyClock::now();
  table_.SweepClosing(now);
  SweepSniffing(now);
  for (const std::string& line : logLimit_.Summaries(now)) Log(line);
  admission_.SweepUnjoined(now);
  logins_->StartDue(now);
  if (!farewell_) nextTurnDeadline_ = lobby_->Tick(now);
  ReleaseJoins();
  if (!farewell_ && !stopping_.load()) ReadModeration(now);
  if (http_) InformHttp(now);
  // A loss tells the others, which may find more connections gone.
  size_t written = 0;
  for (;;) {
    written += table_.FlushSome();
    if (!table_.anyDead()) break;
    Reap();
  }
  metrics_.LoopTurn(SteadyClock::now() - turnStart);
  // Still more to write: give way to anything else waiting for this CPU
  // before the next slice, so that one line to hundreds of players does not
  // hold other work on the machine off for milliseconds.
  if (!table_.idle()) sched_yield();
  return count + static_cast<int>(written);
}

}  // namespace gorvane::server
