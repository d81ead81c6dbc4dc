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
    uint64_t ticket = 0;
    std::string login;
    std::string password;
    // Hashed with when the login is unknown or the store failed.
    std::string decoySalt;
  };
  struct Done {
    uint64_t ticket = 0;
    std::string hash;
    std::optional<Credentials> stored;
    bool failed = false;  // the store could not be read
    std::string why;
  };

  PasswordWorker(AccountStore& accounts, Hasher hasher);
  ~PasswordWorker();
  PasswordWorker(const PasswordWorker&) = delete;
  PasswordWorker& operator=(const PasswordWorker&) = delete;

  // Readable when hashes are done; -1 when the worker could not start.
  int fd() const { return wake_; }
  void Submit(Job job);
  // Forgets a job that has not begun.
  void Cancel(uint64_t ticket);
  // Makes fd readable, for answers that need no hashing.
  void Poke();
  // The hashes done so far.
  std::vector<Done> Collect();

 private:
  void Work();

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
// Checks waiting for one login's budget at most; more are refused as
// throttled.
inline constexpr size_t kLoginsWaitingPerLogin = 8;

class LoginDesk {
 public:
  LoginDesk(AccountStore& accounts, LoginThrottle::Rules rules, Hasher hasher = HashPassword);

  int fd() const { return worker_.fd(); }

  // Starts checking a login for the ticket (one at a time per ticket); the
  // outcome at once when no hashing is needed, else nothing and the answer
  // comes from Collect. Over the login's budget, a check from an address
  // that has not failed lately waits its turn (see StartDue); one from an
  // address that has is refused. When the queue is full, a newcomer from an
  // address with few checks open takes the place of the last from the
  // busiest, which is refused through Collect.
  std::optional<LoginOutcome> Begin(uint64_t ticket, const std::string& address, const std::string& login,
                                    const std::string& password, TimePoint now);

  struct Answer {
    uint64_t ticket = 0;
    std::string login;
    LoginOutcome outcome = LoginOutcome::kFailed;
    bool locked = false;  // this failure locked the address
    std::string why;      // why the store failed
  };
  std::vector<Answer> Collect(TimePoint now);
  // When a waiting check may start or a started one runs out of time;
  // nothing while none waits or runs.
  std::optional<TimePoint> NextDue() const;
  // Fails the started checks the store has kept past kStoreWait, and starts
  // the waiting checks whose logins' budgets allow them by now: of each
  // login's, first those whose addresses have the fewest checks open, then
  // the earliest.
  void StartDue(TimePoint now);
  // Checks under way or waiting.
  size_t pending() const { return pending_.size(); }
  // Checks waiting for their logins' budgets.
  size_t waiting() const;
  // The ticket's connection is gone: its check is not wanted any more.
  void Cancel(uint64_t ticket);

 private:
  struct Pending {
    std::string address;
    std::string login;
    std::string password;  // held only until the check starts
    bool started = false;
    // A connection checks again once answered: only this check's own
    // deadline fails it, not one left from the check before.
    TimePoint deadline{};
  };
  using Entry = std::map<uint64_t, Pending>::iterator;
  void Start(Entry entry, TimePoint now);
  // Takes the check out of the books, and out of its login's queue while it
  // waits; what it was.
  Pending Finish(Entry entry);
  // An address that has just failed waits no more: its waiting checks are
  // refused.
  void RefuseWaiting(const std::string& address, std::vector<Answer>& answers);
  size_t Open(const std::string& address) const;
  // Makes room in a full queue for a check from the address, if another
  // address has more than its share in it.
  bool MakeRoom(std::deque<uint64_t>& queue, const std::string& address);

  LoginThrottle throttle_;
  std::string decoySalt_;
  std::map<uint64_t, Pending> pending_;
  // Checks under way or waiting per address: a few at a time, however many
  // connections the address holds.
  std::map<std::string, std::vector<uint64_t>> byAddress_;
  // Checks waiting per login key, in the order they came.
  std::map<std::string, std::deque<uint64_t>> waiting_;
  // No later than the first waiting check may start.
  std::optional<TimePoint> due_;
  // When each started check runs out of time, in the order started.
  std::deque<std::pair<TimePoint, uint64_t>> deadlines_;
  // Answers given without hashing, for the next Collect.
  std::vector<Answer> refused_;
  PasswordWorker worker_;
};

}  // namespace gorvane::server
