// SPDX-License-Identifier: GPL-3.0-or-later
// The server benchmark's nine parts and what they share: the server on a
// thread of its own with that thread's CPU clock, the cards the players
// play with, and the machine's load to read the numbers by.
//
// games:    chat round trips with one client, then with 500 players of whom
//           200 play 50 seeded games; server CPU per 1,000 messages.
// capacity: joined users the server holds with the lobby chat round trip's
//           99th percentile at most 100 ms, and every user holding a user
//           list with a newcomer in it within 2 s of its arrival (99th
//           percentile over users and newcomers), while the users behave as
//           the client does (they read everything, ask for the user list
//           again on every arrival and departure, a tenth plays in parties
//           of three, 1% leave and as many arrive every minute) and the
//           lobby carries 5 chat lines a second. Grows step by step until it
//           breaks and says where and why.
// attacks:  each attack at full speed from one address, and its effect on
//           well-behaved users from other addresses: their lobby chat round
//           trip and a newcomer's way in, against an idle server; then the
//           HTTP side asked for thousands of ranges (bytes per answer against
//           the page's) and held by slowloris from 12 addresses (/healthz
//           p99 from another, goal at most 100 ms).
// http:     the games part's load with and without the HTTP side (scraped
//           once a second), the loop's CPU per 1,000 messages of each by
//           turns; then the lobby chat round trip while the HTTP port is
//           flooded against while it is not.
// logins:   one Argon2id check's cost against the older PBKDF2 one, the
//           logins a second one server sustains with p99 at most 1 s, and
//           the lobby chat round trip at that rate against idle.
// shared:   two servers on one PostgreSQL database against each on an SQLite
//           file: logins a second with p99 at most 250 ms, a game's results
//           on one seen through G_INFO on the other, and each one's lobby
//           chat round trip while the other plays 50 games.
//
// balance:  seeded games of three headless players in process, on the deck
//           as it was before tuning and on the shipped one (or --deck FILE):
//           own turns per player, players back out, games the deck ran out
//           in; then one player of each strength and how they place.
// tls:      connect to S_CONNECT, p50 and p99, of a plain client, a TLS 1.2
//           and a TLS 1.3 client of a server with TLS, against a plain one
//           of the same server without (goal: the plain client's p99 at most
//           300 ms); then on one server with TLS: the lobby chat round trip's
//           p99 of users over TLS against users in plain, by turns (goal at
//           most 1.2x); the server's CPU per 1,000 messages with the same
//           chat over TLS against in plain, in turn (goal at most 1.3x); and
//           the new TLS connections a second (handshake, S_CONNECT, close)
//           it takes with plain users' lobby chat p99 at most 100 ms.
// moderation: two servers on one PostgreSQL database: the lobby chat round
//           trip's p99 on one of 1,000 users while moderators there type 10
//           commands a second, and while bans change on the other, each
//           against neither (goal at most 1.2x); then a ban made on one to
//           its user's S_BYE on the other and to a fresh G_LOGIN refused
//           there (goal p99 at most 5 s).
//
// The server runs on its own thread, the simulated users on others in this
// process, each machine from an address of its own in 127.0.0.0/8.
#pragma once

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "rules/card_catalogue.h"
#include "server/loop/server.h"

namespace gorvane::bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The server on its own thread, with the CPU clock of that thread.
class ServerThread {
 public:
  explicit ServerThread(gorvane::server::ServerOptions options) : server_(std::move(options)) {
    std::string error;
    if (!server_.Start(error)) {
      std::fprintf(stderr, "server_bench: %s\n", error.c_str());
      std::exit(1);
    }
    thread_ = std::thread([this] { server_.Run(); });
    pthread_getcpuclockid(thread_.native_handle(), &cpu_);
  }
  ~ServerThread() {
    server_.Stop();
    thread_.join();
  }
  double CpuSeconds() const {
    timespec t{};
    clock_gettime(cpu_, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  }
  uint64_t Messages() const {
    const auto counters = server_.counters();
    return counters.messagesIn + counters.messagesOut;
  }
  uint16_t port() const { return server_.port(); }
  uint16_t httpPort() const { return server_.httpPort(); }
  uint64_t BytesOut() const { return server_.counters().bytesOut; }

 private:
  gorvane::server::Server server_;
  std::thread thread_;
  clockid_t cpu_{};
};

inline constexpr const char* kDefendedAddress = "127.0.0.31";

// A server with the defences as shipped, and a tally of what it logged.
struct DefendedServer {
  explicit DefendedServer(size_t maxUsers);
  std::atomic<uint64_t> readersDropped{0};
  std::atomic<uint64_t> cutOff{0};
  // What the server wrote to its log, newlines included.
  std::atomic<uint64_t> logBytes{0};
  std::string database;
  std::optional<ServerThread> server;
  ~DefendedServer();
};

gorvane::CardCatalogue Cards();

// One of two servers on one store: room for a part's simulated users,
// otherwise the defences as shipped, its log dropped.
gorvane::server::ServerOptions PairedOptions(const char* address, uint32_t seed, const std::string& store);

// What else the machine is doing, to read the numbers by.
std::string LoadAverage();

// Until done or the limit, looking every 50 ms.
void Wait(const std::function<bool()>& done, std::chrono::seconds limit);

struct GamesSettings {
  int samples = 2000;       // lobby and party lines by turns
  double spacingMs = 20.0;  // between one echo and the next line
  int players = 500;        // connected, the measuring client included
  int parties = 50;
  int partySize = 4;
  double chatEverySeconds = 30;  // per lobby player, on average
  int thinkMs = 250;             // a scripted player's pause before each move
};
void RunGames(const GamesSettings& settings);

struct CapacitySettings {
  // 9,000 users hold 18,000 descriptors, both ends in this process: about
  // what a process may open on the machines it runs on.
  std::vector<size_t> steps = {1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000, 9000};
  int warmSeconds = 10;
  int measureSeconds = 45;
  size_t probes = 60;
  // A timed newcomer this often while measured, none in the last seconds:
  // they are left for seeing the last of them.
  std::chrono::milliseconds arrivalEvery{3000};
  std::chrono::milliseconds arrivalsStopBeforeEnd{5000};
};
void RunCapacity(const CapacitySettings& settings);

struct AttackSettings {
  size_t crowd = 200;
  size_t probes = 60;
  // 40 lines a second: each probe sends one every 1.5 s, within the chat
  // limit, and a 15 s window holds 600 round trips.
  std::chrono::milliseconds every{25};
  std::chrono::milliseconds warm{3000};
  std::chrono::milliseconds measure{15000};
  // After each attack, for what it left behind (closing sockets, held
  // answers) to go.
  std::chrono::milliseconds settle{2000};
  // Only the attacks on the HTTP side, between the idle rows.
  bool httpOnly = false;
  // The rotation attack on one login, measured this long: the owner logs
  // in every 8 s.
  std::chrono::milliseconds rotation{75000};
};
void RunAttacks(const AttackSettings& settings);

struct HttpSettings {
  int rounds = 2;     // each setup measured this many times, by turns
  int samples = 500;  // chat lines timed in each measurement
  size_t held = 400;  // flood: connections held open, silent
  size_t huge = 16;   // that send 64 KiB of headers
  size_t slow = 32;   // that send a byte every 300 ms
  size_t fast = 8;    // that ask for / and /metrics as fast as answered
  // A flood connection's pause before it opens again.
  std::chrono::milliseconds reopen{0};
  bool cost = true;   // the loop's CPU without and with the HTTP side
  bool flood = true;  // the round trip with the port flooded and not
  // Each part of the flood alone this long first, the slow senders long
  // enough to meet their read deadline.
  std::chrono::milliseconds alone{3000};
  std::chrono::milliseconds slowAlone{6000};
  // A flood's start before it is measured, and what it leaves behind after.
  std::chrono::milliseconds settle{2000};
  // The games part's load under it; samples as above.
  GamesSettings games;
};
void RunHttp(const HttpSettings& settings);
struct SharedSettings {
  // Logins a second, both servers together, stepped up: each server's one
  // worker hashes an Argon2id check in about 40 ms.
  std::vector<size_t> rates = {10, 20, 30, 40, 50, 60};
  int rateSeconds = 3;
  double loginGoalMs = 250;
  // Each user logs in at most every 2.1 s, as its meter allows: enough for
  // the last step.
  size_t poolPerServer = 500;
  // Odd, so that an account's logins alternate between the servers and stay
  // well within each one's checks a minute.
  size_t accounts = 3001;
  size_t players = 150;  // 50 games of three
  int thinkMs = 50;
  // Each probe a line every 1.25 s, within the chat limit; 600 lines.
  size_t probes = 50;
  std::chrono::milliseconds chatEvery{25};
  int chatSeconds = 15;
  // A login rate's or a game's start before it is measured.
  std::chrono::milliseconds settle{1000};
  // After a game's end, how long its results are looked for on the other
  // server, and how long the games are given to end at all.
  std::chrono::milliseconds lookFor{5000};
  std::chrono::milliseconds gamesWithin{40000};
};
void RunShared(const SharedSettings& settings);

struct LoginSettings {
  int hashes = 20;  // of each kind, for a check's cost
  // Logins a second, stepped up; one worker hashes about 25 a second.
  std::vector<size_t> rates = {10, 20, 30, 40, 50, 60};
  int rateSeconds = 5;
  double goalMs = 1000;
  // Each user logs in at most every 2.1 s, as its meter allows.
  size_t pool = 200;
  size_t accounts = 1001;
  // Each probe a line every 1.25 s, within the chat limit.
  size_t probes = 50;
  std::chrono::milliseconds chatEvery{25};
  int chatSeconds = 10;
  std::chrono::milliseconds settle{1500};
};
void RunLogins(const LoginSettings& settings);

struct BalanceSettings {
  int games = 1000;  // for each deck, and again for the strengths
  std::string before = std::string(GORVANE_BENCH_DIR) + "/server/fixtures/longcardlist-main.txt";
  std::string after = std::string(GORVANE_DATA_DIR) + "/longcardlist.txt";
};
void RunBalance(const BalanceSettings& settings);

struct TlsSettings {
  int connections = 200;  // of each kind, one at a time
  // Lobby chat over TLS and in plain on one server with TLS: this many
  // users of each, their lines by turns, this many lines of each; each user
  // a line about every 1.3 s, within the chat limit.
  size_t chatters = 25;
  int lines = 400;
  std::chrono::milliseconds chatEvery{25};
  // The server's CPU per 1,000 messages: this many users chatting over one
  // transport, then the other, each a line about every 1.3 s, by turns.
  size_t loadUsers = 100;
  std::chrono::milliseconds loadEvery{12};
  int rounds = 3;  // the middle one of each is compared
  std::chrono::milliseconds measure{5000};
  // New TLS connections a second, stepped up while plain probes chat (each
  // probe a line every 1.2 s), until a step fails twice running: the chat's
  // p99 past the goal, a connection failed, or fewer made than asked for.
  std::vector<size_t> rates = {100, 200, 400, 600, 800, 1000, 1250, 1500, 2000, 2500, 3000};
  std::chrono::milliseconds step{4000};
  std::chrono::milliseconds settle{1000};
  size_t probes = 20;
  std::chrono::milliseconds probeEvery{60};
  double goalMs = 100;
};
void RunTls(const TlsSettings& settings);

struct ModerationSettings {
  size_t users = 1000;  // on the first server, probes and guests among them
  // Each probe a line every 2 s, within the chat limit.
  size_t probes = 20;
  std::chrono::milliseconds chatEvery{100};
  // Each server's moderators, a line every `every` between them: each one
  // a line every 1.2 s, within its chat limit.
  size_t moderators = 12;
  std::chrono::milliseconds every{100};
  size_t guests = 20;  // the ones kicked and muted, on the first server
  int rounds = 2;      // each setup measured this many times, by turns
  std::chrono::milliseconds settle{2000};
  std::chrono::milliseconds measure{20000};
  // A ban's way: this many bans, one each so often at least.
  size_t samples = 40;
  std::chrono::milliseconds wayEvery{1200};
};
void RunModeration(const ModerationSettings& settings);

}  // namespace gorvane::bench
