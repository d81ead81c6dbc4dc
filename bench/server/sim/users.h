// SPDX-License-Identifier: GPL-3.0-or-later
// Simulated users for the server benchmark, many sockets to a thread: a
// crowd that behaves as the client does (it reads everything and asks for
// the lists again on every arrival and departure, a tenth of it plays in
// parties of three, and some of it leaves and arrives every minute), probes
// that time their own lobby chat lines, newcomers that time their way in,
// and attackers from one address. Each simulated machine connects from an
// address of its own in 127.0.0.0/8.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "rules/card_catalogue.h"
#include "sim/connection.h"
#include "support/server/scripted_player.h"

namespace gorvane::bench {

struct CrowdSettings {
  size_t partyEvery = 30;  // three of every thirty users play: a tenth
  int thinkMs = 250;       // a player's pause before each move
  double leavePerMinute = 0.01;
  // Newcomers named this and a number: looked for in every user list.
  std::string arrivalMarker;
  // Players log in as this and their number before they play; empty: they
  // play as guests.
  std::string loginPrefix;
  std::string password;
  // A player's game ended: its number and its own amount; on the crowd's
  // thread.
  std::function<void(size_t user, int64_t amount)> onResult;
};

// A newcomer, by the number in its name, and when it asked to join.
struct Arrival {
  uint32_t number = 0;
  Clock::time_point at{};
};

// Everybody else.
class Crowd : public Worker {
 public:
  Crowd(std::string server, uint16_t port, const CardCatalogue& cards, CrowdSettings settings);
  ~Crowd() override;

  // From any thread.
  void GrowTo(size_t users) { wanted_ = users; }
  void Behave(bool asksForLists, bool churns) {
    asks_ = asksForLists;
    churns_ = churns;
  }
  size_t joined() const { return joined_; }
  size_t lost() const { return lost_; }
  uint64_t bytesRead() const { return bytesRead_; }
  uint64_t listsAsked() const { return listsAsked_; }
  uint64_t listsRead() const { return listsRead_; }
  uint64_t departures() const { return departures_; }
  uint64_t games() const { return games_; }
  // For each arrival and each user joined before it: how long, in ms, until
  // the user held a user list with the newcomer in it; infinity when it
  // never did. Users who left sooner than `within` after it are not counted.
  std::vector<double> ListDelays(const std::vector<Arrival>& arrivals, Clock::duration within);

 private:
  struct User;
  void Step() override;
  void Add();
  void Read(size_t index);
  void Handle(size_t index, std::string_view message);
  void Churn(Clock::time_point now);
  void Play(Clock::time_point now);

  std::string server_;
  uint16_t port_;
  const CardCatalogue& cards_;
  CrowdSettings settings_;
  int epoll_ = -1;
  size_t nextAddress_ = 0;
  std::vector<std::unique_ptr<User>> users_;
  std::mt19937 random_{5};
  Clock::time_point nextDeparture_{};
  std::atomic<size_t> wanted_{0};
  std::atomic<bool> asks_{false};
  std::atomic<bool> churns_{false};
  std::atomic<size_t> joined_{0};
  std::atomic<size_t> lost_{0};
  std::atomic<uint64_t> bytesRead_{0};
  std::atomic<uint64_t> listsAsked_{0};
  std::atomic<uint64_t> listsRead_{0};
  std::atomic<uint64_t> departures_{0};
  std::atomic<uint64_t> games_{0};
  // Held by the crowd's thread while it works on the users.
  std::mutex mutex_;
};

// Users that behave as the client does and time their own lobby chat lines,
// one line at a time, each from the next of them in turn.
class Probes : public Worker {
 public:
  Probes(std::string server, uint16_t port, size_t count, std::chrono::milliseconds every);
  ~Probes() override;
  bool ready() const { return ready_; }
  size_t lost() const { return lost_; }
  // The round trips since the last call, in milliseconds.
  std::vector<double> Take();

 private:
  void Step() override;
  std::string server_;
  uint16_t port_;
  std::chrono::milliseconds every_;
  int epoll_ = -1;
  std::vector<SimClient> clients_;
  size_t next_ = 0;
  std::optional<size_t> waiting_;
  std::string line_;
  Clock::time_point sentAt_{};
  Clock::time_point nextLine_{};
  uint64_t sequence_ = 0;
  std::mutex mutex_;
  std::vector<double> samples_;
  std::atomic<bool> ready_{false};
  std::atomic<size_t> lost_{0};
};

// A newcomer now and then from an address of its own: the time from its
// connect to its own greeting, then goodbye.
class Newcomers : public Worker {
 public:
  Newcomers(std::string server, uint16_t port, std::chrono::milliseconds every);
  std::vector<double> Take();
  size_t refused() const { return refused_; }

 private:
  void Step() override;
  std::string server_;
  uint16_t port_;
  std::chrono::milliseconds every_;
  size_t nextAddress_ = 0;
  std::mutex mutex_;
  std::vector<double> samples_;
  std::atomic<size_t> refused_{0};
};

// Newcomers named by a marker and a number, one every so often while asked
// to arrive, from addresses of their own; they behave as the client does
// and leave together when told: the arrivals the crowd's lists should show.
class Arrivals : public Worker {
 public:
  Arrivals(std::string server, uint16_t port, std::string marker);
  ~Arrivals() override;
  // From any thread: a newcomer every `every` from now on; zero: no more.
  void Arrive(std::chrono::milliseconds every) { everyMs_ = every.count(); }
  // From any thread: those here leave.
  void Leave() { leave_ = true; }
  // Those that asked to join since the last call.
  std::vector<Arrival> Take();

 private:
  struct Newcomer {
    SimClient client;
    uint32_t number = 0;
    bool leaving = false;
  };
  void Step() override;
  void Read(Newcomer& newcomer);
  std::string server_;
  uint16_t port_;
  std::string marker_;
  int epoll_ = -1;
  std::vector<Newcomer> newcomers_;
  std::atomic<int64_t> everyMs_{0};
  std::atomic<bool> leave_{false};
  Clock::time_point next_{};
  uint32_t number_ = 0;
  std::mutex mutex_;
  std::vector<Arrival> arrived_;
};

// Joined users on several servers that log in at a given rate, spread over
// the servers and many accounts, each timing its G_LOGIN to the answer. The
// first few at one server are watchers: logged in as the given logins, and
// asked about with G_INFO by the others there until their totals show.
class LoginPool : public Worker {
 public:
  struct Site {
    std::string address;
    uint16_t port = 0;
  };
  LoginPool(std::vector<Site> sites, size_t perSite, std::vector<std::string> logins, std::string password,
            size_t watchSite, std::vector<std::string> watchers);
  ~LoginPool() override;
  // Everybody joined, the watchers logged in.
  bool ready() const { return ready_; }
  // From any thread: logins a second from now on, the servers in turn.
  void Rate(double perSecond) { rate_ = perSecond; }
  // Login times in ms since the last call; a refusal, or no answer within
  // 5 s, as infinity.
  std::vector<double> Take();
  // Logins due when no user was free to send one: the pool is too small.
  uint64_t missed() const { return missed_; }
  // From any thread: the watcher is asked about every 50 ms from now on.
  void Ask(size_t watcher) { asked_[watcher] = true; }
  // When the watcher's account first showed totals other than none.
  std::optional<Clock::time_point> Seen(size_t watcher) const;

 private:
  struct User;
  void Step() override;
  void Read(size_t index);
  void Handle(User& user, std::string_view message);
  void SendLogins(Clock::time_point now);
  void SendQuestions(Clock::time_point now);
  User& At(size_t site, size_t number) { return *users_[number * sites_.size() + site]; }
  // A user at the site free to send a command under the given meter.
  User* Free(size_t site, bool login, Clock::time_point now);

  std::vector<Site> sites_;
  size_t perSite_;
  std::vector<std::string> logins_;
  std::string password_;
  size_t watchSite_;
  std::vector<std::string> watchers_;
  int epoll_ = -1;
  std::vector<std::unique_ptr<User>> users_;
  std::vector<size_t> cursors_;
  size_t nextSite_ = 0;
  size_t nextLogin_ = 0;
  double lastRate_ = 0;
  Clock::time_point due_{};
  std::vector<Clock::time_point> nextAsk_;
  std::atomic<double> rate_{0};
  std::atomic<bool> ready_{false};
  std::atomic<uint64_t> missed_{0};
  std::unique_ptr<std::atomic<bool>[]> asked_;
  std::unique_ptr<std::atomic<int64_t>[]> seen_;  // ns since the clock's epoch; 0: not yet
  std::mutex mutex_;
  std::vector<double> samples_;
};

// One attack at full speed from one address, again and again; what it got
// through and how often it was turned away or cut off.
// The account the defended server holds, for the attacks on a logged-in user.
inline constexpr const char* kLogin = "alice";
inline constexpr const char* kPassword = "secret";

class Attacker : public Worker {
 public:
  enum class Kind {
    kIdleSockets,
    kWrongPasswords,
    kPartyCreates,
    kRenames,
    kChat,
    kLongChat,
    kSilentAsker,
    kLists,
    kChurn,
    kGuessers,
    kInfoAboutLoggedIn,
    kLongPlays,
    kJoinChurn,
    kRefused
  };
  static const char* Name(Kind kind);

  Attacker(std::string server, uint16_t port, Kind kind);
  ~Attacker() override;
  uint64_t connects() const { return connects_; }
  uint64_t admitted() const { return admitted_; }
  uint64_t endings() const { return endings_; }
  // Seconds from the attacker's start to the first of its connections the
  // server closed or turned away; negative while none was.
  double firstEndingSeconds() const { return static_cast<double>(firstEndingNs_.load()) * 1e-9; }
  // What the server sent it.
  uint64_t bytesRead() const { return bytesRead_; }

 private:
  void Step() override;
  void Open(size_t slot);
  void Ended(SimClient& client);

  std::string server_;
  uint16_t port_;
  Kind kind_;
  std::string source_;
  std::vector<SimClient> clients_;
  // Attacks from many addresses: each socket from one of its own, opened
  // again no sooner than its address's own join limit allows.
  bool manyAddresses_ = false;
  std::vector<Clock::time_point> nextOpen_;
  std::string burst_;
  std::atomic<uint64_t> connects_{0};
  std::atomic<uint64_t> admitted_{0};
  std::atomic<uint64_t> endings_{0};
  Clock::time_point began_ = Clock::now();
  std::atomic<int64_t> firstEndingNs_{-1};
  std::atomic<uint64_t> bytesRead_{0};
};

// A rotation attack on one login (kLogin): two addresses spend its burst of
// checks, eight more queue one wrong guess each, then a fresh address of a
// pool of twenty guesses once every 6 s, all within one /24. Its owner logs
// in every 8 s from an address of her own, each time on a new connection,
// and times her G_LOGIN to the answer.
class LoginRotation : public Worker {
 public:
  LoginRotation(std::string server, uint16_t port);
  ~LoginRotation() override;
  // The owner's waits in ms since the last call; a refusal, or no answer
  // within 15 s, as infinity.
  std::vector<double> Take();
  uint64_t guesses() const { return guesses_; }

 private:
  struct Guest {
    SimClient client;
    bool owner = false;
    bool asked = false;
    Clock::time_point sentAt{};
  };
  void Step() override;
  void Open(const std::string& source, bool owner);
  void Handle(Guest& guest, std::string_view message);

  std::string server_;
  uint16_t port_;
  int epoll_ = -1;
  std::vector<std::unique_ptr<Guest>> guests_;
  std::optional<Clock::time_point> start_;
  int fresh_ = 0;   // rotation guesses sent
  int owners_ = 0;  // owner's logins begun
  bool opened_ = false;
  std::atomic<uint64_t> guesses_{0};
  std::mutex mutex_;
  std::vector<double> waits_;
};

}  // namespace gorvane::bench
