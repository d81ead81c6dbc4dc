// Logins checked without holding up the event loop: the stored credentials
// are read on the loop, the password is hashed on a worker thread, and the
// answer comes back through a descriptor the loop watches. Failures are
// throttled per address and per login, and an unknown login is hashed like
// a known one so that both cost the same.
#pragma once

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

#include "server/accounts.h"
#include "server/limits.h"

namespace gorvane::server {

enum class LoginOutcome { kOk, kUnknown, kWrongPassword, kThrottled, kFailed };

// What hashes a password: HashPassword, or in a test something that counts
// the work asked of it.
using Hasher = std::function<std::string(std::string_view password, std::string_view salt, int iterations)>;

// Hashes passwords, one at a time and in the order asked, on its own thread.
class PasswordWorker {
 public:
  struct Job {
    uint64_t ticket = 0;
    std::string password;
    std::string salt;
    int iterations = 0;
  };
  struct Done {
    uint64_t ticket = 0;
    std::string hash;
  };

  explicit PasswordWorker(Hasher hasher);
  ~PasswordWorker();
  PasswordWorker(const PasswordWorker&) = delete;
  PasswordWorker& operator=(const PasswordWorker&) = delete;

  // Readable when hashes are done; -1 when the worker could not start.
  int fd() const { return wake_; }
  void Submit(Job job);
  // Forgets a job that has not begun.
  void Cancel(uint64_t ticket);
  // The hashes done so far.
  std::vector<Done> Collect();

 private:
  void Work();

  Hasher hasher_;
  int wake_ = -1;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Job> jobs_;
  std::vector<Done> done_;
  bool stop_ = false;
  std::thread thread_;
};

// Checks under way from one address at most; more are refused as throttled.
inline constexpr size_t kLoginsInFlightPerAddress = 4;

class LoginDesk {
 public:
  LoginDesk(AccountStore& accounts, LoginThrottle::Rules rules, Hasher hasher = HashPassword);

  int fd() const { return worker_.fd(); }

  // Starts checking a login for the ticket (one at a time per ticket); the
  // outcome at once when no hashing is needed, else nothing and the answer
  // comes from Collect.
  std::optional<LoginOutcome> Begin(uint64_t ticket, const std::string& address, const std::string& login,
                                    const std::string& password, TimePoint now);

  struct Answer {
    uint64_t ticket = 0;
    std::string login;
    LoginOutcome outcome = LoginOutcome::kFailed;
    bool locked = false;  // this failure locked the address or the login
  };
  std::vector<Answer> Collect(TimePoint now);
  size_t pending() const { return pending_.size(); }
  // The ticket's connection is gone: its check is not wanted any more.
  void Cancel(uint64_t ticket);

 private:
  struct Pending {
    std::string address;
    std::string login;
    std::optional<Credentials> stored;
  };
  // Takes the check out of the books; what it was.
  Pending Finish(std::map<uint64_t, Pending>::iterator found);

  AccountStore& accounts_;
  LoginThrottle throttle_;
  std::string decoySalt_;
  std::map<uint64_t, Pending> pending_;
  // Checks under way per address: a few at a time, however many
  // connections the address holds.
  std::map<std::string, size_t> inFlight_;
  PasswordWorker worker_;
};

}  // namespace gorvane::server
