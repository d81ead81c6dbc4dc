// SPDX-License-Identifier: GPL-3.0-or-later
// Logins checked without holding up the event loop: the stored credentials
// are read and the password hashed on a worker thread, and the answer comes
// back through a descriptor the loop watches; a store that does not answer
// in time fails the check. Failures are
// throttled per address, password checks per login, and an unknown login is
// hashed like a known one so that both cost the same.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "server/base/labels.h"
#include "server/base/limits.h"
#include "server/store/accounts.h"

namespace gorvane::server {

// What hashes a password: HashPassword, or in a test something that counts
// the work asked of it.
using Hasher = std::function<std::string(std::string_view password, std::string_view salt, int iterations)>;

// How long a check may wait for the account store before it is answered as
// failed (as a wrong password, to the user).
inline constexpr auto kStoreWait = std::chrono::seconds(4);

// Reads a login's credentials and hashes the password, one at a time and in
// the order asked, on its own thread.
class PasswordWorker {
 public:
  struct Job {
    uint64_t ticket = 0;  // the check's own number, never used again
    std::string login;
    std::string password;
    // Hashed with when the login is unknown or the store failed.
    std::string decoySalt;
    // Where the check comes from, and whether an unknown login is to be
    // created with this password.
    std::string address;
    bool mayRegister = false;
  };
  struct Done {
    uint64_t ticket = 0;
    std::string hash;
    std::optional<Credentials> stored;
    bool failed = false;  // the store could not be read
    std::string why;
    bool registered = false;  // the login was created by this check
  };

  PasswordWorker(AccountStore& accounts, Hasher hasher);
  ~PasswordWorker();
  PasswordWorker(const PasswordWorker&) = delete;
  PasswordWorker& operator=(const PasswordWorker&) = delete;

  // Readable when hashes are done; -1 when the worker could not start.
  int fd() const { return wake_; }
  void Submit(Job job);
  // Forgets a job that has not begun; false when it has (or is unknown).
  bool Cancel(uint64_t ticket);
  // Makes fd readable, for answers that need no hashing.
  void Poke();
  // The hashes done so far.
  std::vector<Done> Collect();

 private:
  void Work();
  // An unknown login created with the job's password: the hash of that
  // (in place of the decoy's) and what is stored now.
  void Register(const Job& job, Done& done);

  AccountStore& accounts_;
  Hasher hasher_;
  int wake_ = -1;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Job> jobs_;
  std::vector<Done> done_;
  bool stop_ = false;
  std::thread thread_;
};

// Checks under way or waiting from one address at most; more are refused
// as throttled.
inline constexpr size_t kLoginsInFlightPerAddress = 4;
// Checks waiting for one login's budget at most, and of those from one
// network; more are refused as throttled. A network is an IPv4 /24 or an
// IPv6 /48: what one host rents cheaply.
inline constexpr size_t kLoginsWaitingPerLogin = 8;
inline constexpr size_t kLoginsWaitingPerNetwork = kLoginsWaitingPerLogin / 2;
// A check waits this long at most for its login's budget, then is refused
// as throttled: the queue holds no check past the time a user waits.
inline constexpr auto kLoginQueueWait = std::chrono::seconds(10);
// Checks handed to the worker and not answered yet, at most: a store that
// stalls gets no pile of checks to run once it is back.
inline constexpr size_t kChecksAtTheStore = 16;
// An address whose guess at a login failed is remembered by that login this
// long: over its budget the login takes no more checks from it, so that a
// rotation of addresses cannot come round again once its failures are out
// of the address's own window.
inline constexpr auto kLoginRemembersFailures = std::chrono::minutes(15);
// Addresses one login remembers at most; the oldest go first.
inline constexpr size_t kLoginRemembersAddresses = 256;

// The network an address belongs to, for sharing a login's budget fairly:
// "a.b.c.0/24" or an IPv6 /48; anything else as it is.
std::string NetworkOf(const std::string& address);

class LoginDesk {
 public:
  LoginDesk(AccountStore& accounts, LoginThrottle::Rules rules, Hasher hasher = HashPassword);

  int fd() const { return worker_.fd(); }

  // Starts checking a login for the ticket (one at a time per ticket); the
  // outcome at once when no hashing is needed, else nothing and the answer
  // comes from Collect. Over the login's budget, a check from an address
  // that has not failed lately (nor failed at this login, see
  // kLoginRemembersFailures) waits its turn (see StartDue); one from an
  // address that has is refused. A network holds at most its share of the
  // queue; when the queue is full, a newcomer from a network with fewer
  // places takes the place of the last from the network with the most,
  // which is refused through Collect.
  std::optional<LoginOutcome> Begin(uint64_t ticket, const std::string& address, const std::string& login,
                                    const std::string& password, TimePoint now, bool mayRegister = false);

  struct Answer {
    uint64_t ticket = 0;
    std::string login;
    LoginOutcome outcome = LoginOutcome::kFailed;
    bool locked = false;  // this failure locked the address
    std::string why;      // why the store failed
    bool moderator = false;
    bool registered = false;  // made now, by self-registration
  };
  std::vector<Answer> Collect(TimePoint now);
  // When a waiting check may start, or a check runs out of time; nothing
  // while none waits or runs.
  std::optional<TimePoint> NextDue() const;
  // Fails the started checks the store has kept past kStoreWait (taken back
  // from the worker unless it has begun them), refuses the waiting ones past
  // kLoginQueueWait, and starts the waiting checks whose logins' budgets
  // allow them by now: of each login's, first those whose networks have
  // failed at it least lately, then the earliest.
  void StartDue(TimePoint now);
  // Checks under way or waiting.
  size_t pending() const { return pending_.size(); }
  // Checks waiting for their logins' budgets.
  size_t waiting() const;
  // Checks handed to the worker and not answered (or given up on) yet.
  size_t atTheStore() const { return atTheStore_; }
  // The ticket's connection is gone: its check is not wanted any more.
  void Cancel(uint64_t ticket);

 private:
  struct Pending {
    std::string address;
    std::string network;
    std::string login;
    std::string password;  // held only until the check starts
    bool mayRegister = false;
    bool started = false;
    // Waiting for room at the worker, not for its login's budget: it waits
    // as long as a started check waits for the store, then fails as one.
    bool behindBacklog = false;
    // The worker's number for the check once started: a connection checks
    // again once answered, and a late answer must not find the new check.
    uint64_t job = 0;
    // Started: when the store has kept it too long; waiting: when it has
    // waited too long.
    TimePoint deadline{};
  };
  // What a login remembers across its checks.
  struct Book {
    // Its failures lately (kLoginRemembersFailures), by network, the oldest
    // first.
    std::deque<std::pair<TimePoint, std::string>> failures;
    // Addresses that failed at it, and when last.
    std::map<std::string, TimePoint> failedFrom;
  };
  using Entry = std::map<uint64_t, Pending>::iterator;
  void Start(Entry entry, TimePoint now);
  // Takes the check out of the books, and out of its login's queue while it
  // waits; what it was.
  Pending Finish(Entry entry);
  // An address that has just failed waits no more: its waiting checks are
  // refused.
  void RefuseWaiting(const std::string& address, std::vector<Answer>& answers);
  void Failed(TimePoint now, const std::string& login, const std::string& address);
  bool FailedHere(TimePoint now, const std::string& login, const std::string& address) const;
  // The login's failures lately from the network, and its checks waiting.
  size_t Load(const std::string& key, const std::string& network) const;
  size_t Waiting(const std::deque<uint64_t>& queue, const std::string& network) const;
  // Makes room in a full queue for a check from the network, if another
  // network has more places in it.
  bool MakeRoom(std::deque<uint64_t>& queue, const std::string& network);
  void Forget(TimePoint now);

  LoginThrottle throttle_;
  std::string decoySalt_;
  std::map<uint64_t, Pending> pending_;
  // Checks under way or waiting per address: a few at a time, however many
  // connections the address holds.
  std::map<std::string, std::vector<uint64_t>> byAddress_;
  // Checks waiting per login key, in the order they came.
  std::map<std::string, std::deque<uint64_t>> waiting_;
  std::map<std::string, Book> books_;
  // No later than the first waiting check may start.
  std::optional<TimePoint> due_;
  // When each check runs out of time (started or waiting), with its job
  // number (0 while waiting), in order.
  std::multimap<TimePoint, std::pair<uint64_t, uint64_t>> deadlines_;
  // Jobs given up on that the worker had begun: their address, should the
  // store answer after all with a wrong password.
  std::map<uint64_t, std::string> late_;
  uint64_t jobs_ = 0;
  size_t atTheStore_ = 0;
  TimePoint forgotAt_{};
  // Answers given without hashing, for the next Collect.
  std::vector<Answer> refused_;
  PasswordWorker worker_;
};

}  // namespace gorvane::server
