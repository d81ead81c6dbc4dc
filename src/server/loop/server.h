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
#include <utility>

#include "rules/card_catalogue.h"
#include "server/base/limits.h"
#include "server/base/log_limit.h"
#include "server/base/metrics.h"
#include "server/http/http_side.h"
#include "server/lobby/lobby.h"
#include "server/lobby/owed_results.h"
#include "server/loop/admission.h"
#include "server/loop/connection_table.h"
#include "server/loop/tls.h"
#include "server/store/accounts.h"
#include "server/store/logins.h"
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
  // Every command of one user, whatever its kind.
  RateRule commands{1000, 0};
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
  // TLS on the game port with this certificate chain and key, read again
  // by ReloadTls (SIGHUP); or with a pair made once beside the database.
  std::optional<TlsFiles> tls;
  bool tlsSelfSigned = false;
  // With TLS on, G_LOGIN is still checked over plain text.
  bool plainLogins = false;
  // With TLS on, how long a new connection that has sent nothing is waited
  // for before it is greeted in plain. A TLS client sends its ClientHello
  // as soon as its connect completes, so on any network it arrives right
  // behind the connection itself; what can hold it is the client's own
  // machine (a busy event loop, making its key share), which takes
  // milliseconds, not a tenth of a second. A lost segment takes a
  // retransmission of 200 ms or more, which no wait short enough for a
  // plain client covers; such a client is closed at once when its
  // ClientHello comes late, and connects again. Plain clients, old ones
  // among them, wait this long once per connection.
  Duration tlsSniffWait = std::chrono::milliseconds(150);
  // --registration open: an unknown login's first G_LOGIN creates it.
  bool registrationOpen = false;
};

// How long the goodbye to everybody may take when the server stops.
inline constexpr auto kFarewellTime = std::chrono::seconds(2);
// Commands of one connection handled before the others get their turn: a
// write of thousands of commands must not keep everybody else waiting.
inline constexpr size_t kCommandsPerTurn = 64;

class Server : private Outbox, private ConnectionEvents {
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
  // The certificate's key fingerprint the plain connections are told, or
  // empty without TLS.
  std::string tlsFingerprint() const;
  // What SIGHUP does: the certificate and key are read again; when they
  // cannot be, the pair in use stays, with a line in the log.
  void ReloadTls();
  // Nothing waits to be written and no login is being checked.
  bool Quiet() const {
    return table_.idle() && (!logins_ || logins_->pending() == 0) && OffLoopIdle() &&
           (!lobby_ || lobby_->listsOwed() == 0);
  }

 private:
  bool OffLoopIdle() const;

  // Outbox.
  void Send(int32_t user, std::string_view message) override;
  void SendFramed(int32_t user, const Framed& message, ListSlot slot) override;
  void Close(int32_t user, std::string_view why) override;
  void Cut(int32_t user, std::string_view why) override;
  void CheckLogin(int32_t user, const std::string& login, const std::string& password,
                  bool mayRegister) override;
  void OffLoop(std::function<std::function<void()>()> job) override;

  // ConnectionEvents.
  void Dropped(Connection& connection, const std::string& why) override;
  void Removed(int32_t user, const std::string& address, bool inLobby) override;

  void Log(std::string_view line) const;
  // Starts the HTTP side when asked for; false with the reason in error
  // when it cannot listen.
  bool StartHttp(std::string& error);
  // The HTTP side hears that the loop turns, and now and then how the
  // lobby looks.
  void InformHttp(TimePoint now);
  // A line about one address, within that address's share of the log.
  void LogAbout(const std::string& address, std::string_view kind, std::string_view line);
  // A line from the lobby: "user N: ...", counted to that user's address.
  void LogFromLobby(std::string_view line);
  void Accept();
  void Admit(int fd, const sockaddr_storage& address);
  // TLS, when asked for: the pair loaded (made first when self-signed).
  bool StartTls(std::string& error);
  // An admitted connection is greeted now, or (with TLS) once it is known
  // whether it speaks TLS.
  void Arrive(Connection& connection, TimePoint now);
  // S_CONNECT, and to a plain connection on a server with TLS its offer.
  void Greet(Connection& connection);
  // Readiness of a connection not greeted yet: its first byte looked at, or
  // its handshake taken a step further.
  void Settle(Connection& connection);
  void Handshake(Connection& connection);
  // Connections silent for the whole wait are greeted in plain.
  void SweepSniffing(TimePoint now);
  void Read(Connection& connection);
  // Handles the connection's whole commands, a turn's worth, unless a login
  // is being checked; what is left waits for the next turn.
  void Process(Connection& connection);
  // Hands on the commands of connections whose join has been greeted.
  void ReleaseJoins();
  void Handle(Connection& connection, std::string_view text);
  void CollectLogins();
  // A login the store failed: why, in the log now and then.
  void StoreFailed(const std::string& why);
  // Told goodbye: no longer waited for to join, and given a while to close.
  void StartClosing(Connection& connection);
  // The dead connections are gone; a paused listener listens again.
  void Reap();
  int NextTimeout(int timeoutMs, TimePoint now) const;
  void Farewell();
  // Starts a read of the store's bans, mutes and motd when one is due and
  // none is under way; the lobby gets what it found.
  void ReadModeration(TimePoint now);

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
  ConnectionTable table_;
  Admission admission_;
  // When the lobby wants its next look: a turn or an owed list due.
  std::optional<TimePoint> nextTurnDeadline_;
  LogLimit logLimit_;
  // Logins the store failed are logged at most once per kResultReportGap.
  std::optional<TimePoint> storeLogged_;
  size_t storeQuiet_ = 0;
  std::optional<TlsFiles> tlsFiles_;
  std::unique_ptr<TlsSockets> tlsSockets_;
  std::unique_ptr<TlsContext> tls_;
  // Connections waited for to open with a ClientHello, in the order of
  // their deadlines (the wait is the same for all).
  std::deque<std::pair<TimePoint, uint64_t>> sniffing_;
  // Connections whose join waits its turn, with their later commands.
  std::vector<uint64_t> heldJoins_;
  // Gone first: its threads read the metrics.
  std::unique_ptr<HttpSide> http_;
  std::optional<TimePoint> statusPublished_;
  // The moderation read: when the next is due, whether one is under way,
  // and whether the last failed (logged once until one works again).
  std::optional<TimePoint> moderationDue_;
  bool moderationReading_ = false;
  bool moderationFailing_ = false;
};

}  // namespace gorvane::server
