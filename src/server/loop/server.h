// SPDX-License-Identifier: GPL-3.0-or-later
// The game server's socket side: one thread, one epoll loop, non-blocking
// sockets, each connection cut into messages and handed to the lobby.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "rules/card_catalogue.h"
#include "server/store/accounts.h"
#include "server/http/http_side.h"
#include "server/base/limits.h"
#include "server/lobby/lobby.h"
#include "server/base/log_limit.h"
#include "server/store/logins.h"
#include "server/base/metrics.h"
#include "server/lobby/owed_results.h"
#include "server/store/timed_store.h"

namespace gorvane::server {

struct ServerOptions {
  std::string listenAddress = "127.0.0.1";
  uint16_t port = 21012;  // 0: any free port, see Server::port()
  std::string databasePath = "gorvane-server.db";
  std::string cardsPath = std::string(kCardListFile);
  // Joined users. Each arrival or departure makes every client fetch the
  // whole user list, so that traffic grows with the cube of the users; the
  // lobby kept chat within 100 ms and every list fresh within 2 s up to
  // 7,000 users on two cores (9,000 when nothing else ran), and this leaves
  // room to spare for games and a busier chat.
  size_t maxUsers = 1000;
  // When full, a newcomer takes the place of the user silent longest, if
  // silent this long (zero: never).
  Duration idleGiveWay = std::chrono::seconds(600);
  // Per-address limits count an IPv6 prefix of this many bits as one.
  int ipv6Prefix = 64;
  size_t maxPerAddress = 8;  // connections from one address, joined or not
  size_t maxUnjoined = 256;  // connections that have not sent G_JOIN yet
  Duration joinTime = std::chrono::seconds(10);
  Duration turnTime = std::chrono::seconds(120);  // zero: turns are not timed
  RateRule chat{10, 2000};
  RateRule broadcasts{5, 0};
  Duration rateWindow = std::chrono::seconds(10);
  LoginThrottle::Rules logins;
  uint32_t seed = 0;
  // Where players connect, as the status page shows it, for a server behind
  // a router; the listening address and port when empty.
  std::string publicAddress;
  // The status page, /metrics and /healthz; none when not given.
  std::optional<HttpEndpoint> http;
  // Where the log lines go; standard error when empty.
  LogSink log;
};

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
// How long the goodbye to everybody may take when the server stops.
inline constexpr auto kFarewellTime = std::chrono::seconds(2);
// Commands of one connection handled before the others get their turn: a
// write of thousands of commands must not keep everybody else waiting.
inline constexpr size_t kCommandsPerTurn = 64;
// How long an address whose connection was cut off for flooding is turned
// away.
inline constexpr auto kCoolOff = std::chrono::minutes(1);

class Server : private Outbox {
 public:
  explicit Server(ServerOptions options);
  ~Server() override;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Loads the cards, opens the accounts and starts listening; false with the
  // reason in error when any of it fails.
  bool Start(std::string& error);
  // Stops when the descriptor (a signalfd) becomes readable.
  void StopOn(int signalFd);
  // Waits up to timeoutMs (-1: until something happens) and handles what
  // arrived; the number of events handled.
  int RunOnce(int timeoutMs);
  // Runs until Stop or a signal, then says goodbye to every user, ends the
  // games without results and closes the database.
  void Run();
  // From any thread: makes Run say goodbye and return.
  void Stop();

  uint16_t port() const { return port_; }
  // Where the HTTP side listens; 0 without one.
  uint16_t httpPort() const { return http_ ? http_->port() : 0; }
  // Until Run has returned.
  const Lobby& lobby() const { return *lobby_; }
  const CardCatalogue& cards() const { return cards_; }
  // Both safe to read from another thread while the loop runs.
  ServerCounters counters() const { return metrics_.Counters(); }
  const Metrics& metrics() const { return metrics_; }
  // For tests only, from another thread while Run runs: the loop stops
  // turning, as a stuck one would, until the returned function is called.
  std::function<void()> HoldLoopForTest();
  // Nothing waits to be written and no login is being checked.
  bool Quiet() const {
    return dirty_.empty() && backlog_.empty() && (!logins_ || logins_->pending() == 0) && OffLoopIdle() &&
           (!lobby_ || lobby_->listsOwed() == 0);
  }

 private:
  struct Connection;
  bool OffLoopIdle() const;

  // Outbox.
  void Send(int32_t user, std::string_view message) override;
  void SendFramed(int32_t user, const Framed& message, ListSlot slot) override;
  void Close(int32_t user, std::string_view why) override;
  void Cut(int32_t user, std::string_view why) override;
  void CheckLogin(int32_t user, const std::string& login, const std::string& password) override;
  void OffLoop(std::function<std::function<void()>()> job) override;

  void Log(std::string_view line) const;
  // Starts the HTTP side when asked for; false with the reason in error
  // when it cannot listen.
  bool StartHttp(std::string& error);
  // The HTTP side hears that the loop turns, and now and then how the
  // lobby looks.
  void InformHttp(TimePoint now);
  // A line about one address, within that address's share of the log.
  void LogAbout(const std::string& address, std::string_view kind, std::string_view line);
  // Turns a new connection away, counted as the defence that did it.
  void TurnAway(int fd, const std::string& peer, Defence defence, const std::string& why);
  // A line from the lobby: "user N: ...", counted to that user's address.
  void LogFromLobby(std::string_view line);
  void Accept();
  void Admit(int fd, const sockaddr_storage& address);
  int32_t NewUserId();
  void Read(Connection& connection);
  // Handles the connection's whole commands, a turn's worth, unless a login
  // is being checked; what is left waits for the next turn.
  void Process(Connection& connection);
  void Handle(Connection& connection, std::string_view text);
  // Connections whose commands wait for their next turn.
  void ProcessBacklog();
  void CollectLogins();
  // A login the store failed: why, in the log now and then.
  void StoreFailed(const std::string& why);
  Connection* Find(int32_t user);
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
  // The connection is finished with; the lobby hears of a loss.
  void Drop(Connection& connection, const std::string& why);
  void Reap();
  void StartClosing(Connection& connection);
  // No longer counted among the connections that have not joined.
  void Joined(Connection& connection);
  // Connections told goodbye that have not closed in time are dropped, as
  // are those that have not joined in time.
  void SweepClosing(TimePoint now);
  void SweepUnjoined(TimePoint now);
  // Takes the oldest connection that has still not joined off the waiting
  // list, when its time is up by dueBy (any time without one).
  Connection* NextUnjoined(std::optional<TimePoint> dueBy);
  // Makes room among the unjoined connections for a new one.
  void EvictOldestUnjoined();
  int NextTimeout(int timeoutMs, TimePoint now) const;
  void Farewell();

  ServerOptions options_;
  // Outlives everything that counts into it, the workers among them.
  Metrics metrics_;
  CardCatalogue cards_;
  std::unique_ptr<AccountStore> accounts_;
  // The accounts as the lobby and the logins use them: each call timed.
  std::unique_ptr<TimedStore> timedAccounts_;
  std::unique_ptr<LoginDesk> logins_;
  std::mt19937 rng_;
  std::unique_ptr<Lobby> lobby_;
  // Gone before the lobby and the accounts its jobs use.
  std::unique_ptr<class OffLoop> offLoop_;
  int epoll_ = -1;
  int listener_ = -1;
  int wake_ = -1;
  int signal_ = -1;
  uint16_t port_ = 0;
  bool acceptPaused_ = false;
  bool farewell_ = false;
  std::atomic<bool> stopping_{false};
  uint64_t nextKey_ = 1;
  int32_t nextUser_ = 1;
  std::unordered_map<uint64_t, std::unique_ptr<Connection>> connections_;
  std::unordered_map<int32_t, uint64_t> userKeys_;
  std::unordered_map<std::string, size_t> perAddress_;
  AddressWatch addresses_;
  std::deque<uint64_t> backlog_;
  size_t unjoined_ = 0;
  // Admission order of the connections that may not have joined yet.
  std::deque<std::pair<TimePoint, uint64_t>> joinDeadlines_;
  // When the lobby wants its next look: a turn or an owed list due.
  std::optional<TimePoint> nextTurnDeadline_;
  LogLimit logLimit_;
  // Logins the store failed are logged at most once per kResultReportGap.
  std::optional<TimePoint> storeLogged_;
  size_t storeQuiet_ = 0;
  // Turned-away connections are logged at most once a second.
  TimePoint turnedAwayLogged_{};
  size_t turnedAwayQuiet_ = 0;
  std::deque<uint64_t> dirty_;
  std::vector<uint64_t> dead_;
  std::vector<uint64_t> closing_;
  // Gone first: its threads read the metrics.
  std::unique_ptr<HttpSide> http_;
  std::optional<TimePoint> statusPublished_;
};

}  // namespace gorvane::server
