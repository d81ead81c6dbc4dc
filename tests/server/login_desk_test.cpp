// SPDX-License-Identifier: GPL-3.0-or-later
// Password checks for one login paced across addresses, on a set clock: the
// hashing runs on the desk's worker, the time is the test's.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/store/accounts.h"
#include "server/store/logins.h"

namespace gorvane::server {
namespace {

// A desk over an account "alice" whose password is "right"; the hashing
// only counts and compares.
class Desk {
 public:
  explicit Desk(LoginThrottle::Rules rules = {}, AccountStore* store = nullptr) {
    std::string error;
    own_ = AccountStore::Open(":memory:", error);
    EXPECT_TRUE(own_ && own_->SetPassword("alice", "right", error)) << error;
    bool failed = false;
    right_ = own_->Find("alice", failed).value().hash;
    desk_.emplace(store ? *store : *own_, rules, [this](std::string_view password, std::string_view, int) {
      ++hashed_;
      return password == "right" ? right_ : std::string("wrong");
    });
  }
  LoginDesk* operator->() { return &*desk_; }
  size_t hashed() const { return hashed_; }
  // Starts what is due by now and waits for every started check's answer.
  std::vector<LoginDesk::Answer> Settle(TimePoint now) {
    desk_->StartDue(now);
    std::vector<LoginDesk::Answer> answers;
    for (int i = 0; i < 500 && (desk_->atTheStore() > 0 || i == 0); ++i) {
      pollfd ready{desk_->fd(), POLLIN, 0};
      ::poll(&ready, 1, 10);
      for (LoginDesk::Answer& answer : desk_->Collect(now)) answers.push_back(std::move(answer));
    }
    return answers;
  }

 private:
  std::unique_ptr<AccountStore> own_;
  std::string right_;
  std::atomic<size_t> hashed_ = 0;
  std::optional<LoginDesk> desk_;
};

TimePoint At(int seconds) { return TimePoint{} + std::chrono::seconds(seconds); }

// A crowd logging in at once (a restart brings every user back) fills the
// worker's backlog: the checks past it wait their turn and are answered as
// what they are, none as a store failure.
TEST(Limits, ChecksPastTheWorkersBacklogWaitTheirTurn) {
  struct Row {
    int logins;
    size_t answered;  // within the queue's wait
  };
  const Row rows[] = {{kChecksAtTheStore, kChecksAtTheStore},
                      {kChecksAtTheStore + 10, kChecksAtTheStore + 10}};
  for (const Row& row : rows) {
    Desk desk;
    for (int i = 0; i < row.logins; ++i) {
      const auto now =
          desk->Begin(static_cast<uint64_t>(i + 1), "10.1.0." + std::to_string(i + 1),
                      i == 0 ? "alice" : "user" + std::to_string(i), i == 0 ? "right" : "x", At(0));
      EXPECT_FALSE(now) << "answered at once: " << i;
    }
    std::vector<LoginDesk::Answer> answers;
    for (int t = 0; t < 9 && answers.size() < static_cast<size_t>(row.logins); ++t) {
      for (LoginDesk::Answer& answer : desk.Settle(At(t))) answers.push_back(std::move(answer));
    }
    EXPECT_EQ(answers.size(), row.answered) << row.logins;
    for (const LoginDesk::Answer& answer : answers) {
      EXPECT_EQ(answer.outcome, answer.ticket == 1 ? LoginOutcome::kOk : LoginOutcome::kUnknown)
          << row.logins << " ticket " << answer.ticket;
    }
  }
}

// Five addresses guess at alice as fast as they may, each second; her owner
// comes now and then from an address of her own and gets in within 10 s
// each time, while alice's passwords are hashed no more than ten at once
// and one every 6 s after.
TEST(Limits, ALoginsOwnerGetsInWhileFiveAddressesGuessAtIt) {
  Desk desk;
  const int comes[] = {2, 30, 95};
  std::vector<int> waited;
  std::optional<int> since;
  uint64_t ticket = 0;
  const uint64_t owner = 1'000'000;
  for (int t = 0; t <= 120; ++t) {
    for (int a = 1; a <= 5; ++a) {
      for (size_t i = 0; i < kLoginsInFlightPerAddress; ++i) {
        desk->Begin(++ticket, "10.0.0." + std::to_string(a), "alice", "guess", At(t));
      }
    }
    if (std::find(std::begin(comes), std::end(comes), t) != std::end(comes)) {
      ASSERT_FALSE(desk->Begin(owner + t, "10.0.9.9", "alice", "right", At(t))) << "refused at " << t;
      since = t;
    }
    for (const LoginDesk::Answer& answer : desk.Settle(At(t))) {
      if (answer.ticket < owner) continue;
      EXPECT_EQ(answer.outcome, LoginOutcome::kOk) << t;
      waited.push_back(t - since.value());
    }
    ASSERT_LE(desk.hashed(), 10u + t / 6) << "at " << t;
  }
  ASSERT_EQ(waited.size(), std::size(comes));
  for (const int seconds : waited) EXPECT_LE(seconds, 10);
}

// Ten wrong passwords for a login from ten addresses use its budget up; an
// eleventh check waits when its address has not failed and is refused
// without hashing when it has. A long login is paced under its first 256
// bytes, and another login not at all.
TEST(Limits, ChecksOverALoginsBudgetWaitOrAreRefused) {
  const std::string longLogin(300, 'm');
  const struct {
    const char* what;
    std::string first, eleventh;
    const char* address;
    std::optional<LoginOutcome> atOnce;
    size_t waiting;
  } cases[] = {
      {"a clean address", "alice", "alice", "10.0.1.1", std::nullopt, 1},
      {"a failing address", "alice", "alice", "10.0.0.3", LoginOutcome::kThrottled, 0},
      {"a long login", longLogin + "a", longLogin + "b", "10.0.1.1", std::nullopt, 1},
      {"another login", "alice", "bob", "10.0.0.3", std::nullopt, 0},
  };
  for (const auto& c : cases) {
    Desk desk;
    for (int i = 0; i < 10; ++i) {
      ASSERT_FALSE(desk->Begin(i, "10.0.0." + std::to_string(i), c.first, "guess", At(0))) << c.what;
    }
    ASSERT_EQ(desk.Settle(At(0)).size(), 10u) << c.what;
    EXPECT_EQ(desk->Begin(99, c.address, c.eleventh, "guess", At(1)), c.atOnce) << c.what;
    desk.Settle(At(1));
    EXPECT_EQ(desk->waiting(), c.waiting) << c.what;
    EXPECT_EQ(desk.hashed(), 11u - c.waiting - (c.atOnce ? 1 : 0)) << c.what;
  }
}

// A connection logs in again soon after its first login was answered: the
// first one's deadline passing leaves the second alone, whose own still
// fails it when the store keeps it too long.
TEST(Limits, ASecondCheckOfAConnectionRunsToItsOwnDeadline) {
  const struct {
    int lookAt;
    LoginOutcome outcome;
  } cases[] = {{4, LoginOutcome::kOk}, {7, LoginOutcome::kFailed}};
  for (const auto& c : cases) {
    Desk desk;
    ASSERT_FALSE(desk->Begin(1, "10.0.1.1", "alice", "right", At(0)));
    ASSERT_EQ(desk.Settle(At(0)).size(), 1u);
    ASSERT_FALSE(desk->Begin(1, "10.0.1.1", "alice", "right", At(3)));
    const auto answers = desk.Settle(At(c.lookAt));
    ASSERT_EQ(answers.size(), 1u) << c.lookAt;
    EXPECT_EQ(answers[0].outcome, c.outcome) << c.lookAt;
  }
}

// A login under a rotation attack: two addresses spend its burst, eight
// more queue one guess each, then a fresh address guesses once every 6 s
// (twenty in rotation, round and round). Its owner comes every 17 s from an
// address of her own, from the start or once the rotation has come round,
// and is let in within 10 s each time, while the login's passwords are
// hashed no more than ten at once and one every 6 s after.
TEST(Limits, ALoginsOwnerGetsInWithin10SecondsUnderARotationOfAddresses) {
  const struct {
    const char* what;
    // The attacker's n-th address.
    std::function<std::string(int)> address;
    int ownerFrom;
  } cases[] = {
      {"a rotation within one network", [](int n) { return "10.1.1." + std::to_string(n); }, 5},
      {"a rotation over many networks, come round", [](int n) { return "10." + std::to_string(n) + ".1.1"; },
       140},
  };
  for (const auto& c : cases) {
    Desk desk;
    uint64_t ticket = 0;
    const uint64_t owner = 1'000'000;
    for (int guess = 0; guess < 10; ++guess)
      desk->Begin(++ticket, c.address(1 + guess % 2), "alice", "guess", At(0));
    desk.Settle(At(0));
    for (int n = 3; n <= 10; ++n) desk->Begin(++ticket, c.address(n), "alice", "guess", At(0));
    std::optional<int> since;
    int admitted = 0;
    for (int t = 1; t <= 300; ++t) {
      if (t % 6 == 0) desk->Begin(++ticket, c.address(11 + (t / 6) % 20), "alice", "guess", At(t));
      if (t >= c.ownerFrom && (t - c.ownerFrom) % 17 == 0 && !since) {
        ASSERT_FALSE(desk->Begin(owner + t, "192.168.7.7", "alice", "right", At(t))) << c.what << " at " << t;
        since = t;
      }
      for (const LoginDesk::Answer& answer : desk.Settle(At(t))) {
        if (answer.ticket < owner) continue;
        const int came = since.value_or(-100);
        EXPECT_EQ(answer.outcome, LoginOutcome::kOk) << c.what << " at " << t;
        EXPECT_LE(t - came, 10) << c.what << " came at " << came;
        ++admitted;
        since.reset();
      }
      ASSERT_LE(desk.hashed(), 10u + t / 6) << c.what << " at " << t;
    }
    EXPECT_GE(admitted, (300 - c.ownerFrom) / 17) << c.what;
  }
}

// An account store whose lookups hang until it is let go, as a locked table
// or a frozen database does; the password checks are the desk's own.
class HangingStore final : public AccountStore {
 public:
  std::optional<Credentials> Lookup(std::string_view, bool& failed, std::string&) override {
    std::unique_lock lock(mutex_);
    ++lookups_;
    open_.wait(lock, [&] { return letGo_; });
    failed = false;
    return std::nullopt;
  }
  void LetGo() {
    {
      const std::lock_guard lock(mutex_);
      letGo_ = true;
    }
    open_.notify_all();
  }
  size_t lookups() {
    const std::lock_guard lock(mutex_);
    return lookups_;
  }
  std::optional<Statistics> Read(std::string_view) override { return std::nullopt; }
  bool Apply(const OwedResult&, std::string&) override { return false; }
  std::optional<std::vector<Ranked>> Leaders(RankBy, size_t, std::string&) override { return std::nullopt; }
  bool Ping(std::string&) override { return false; }
  std::optional<std::vector<Account>> All(std::string&) override { return std::nullopt; }
  std::optional<size_t> Import(const std::vector<Account>&, std::string&) override { return std::nullopt; }
  bool Close() override { return true; }

 protected:
  bool StoreCredentials(std::string_view, const Credentials&, std::string&) override { return false; }

 private:
  std::mutex mutex_;
  std::condition_variable open_;
  bool letGo_ = false;
  size_t lookups_ = 0;
};

// While the store hangs: checks past their deadline are answered and taken
// back from the worker, so that only the one it had begun ever runs; the
// worker is handed a bounded number; a check waiting for its login's budget
// is refused once it has waited 10 s; and the one begun, answered after all
// with a wrong guess, still counts against its address.
TEST(Limits, ChecksWhoseDeadlinePassedNeverRunAndTheQueueIsBounded) {
  const struct {
    const char* what;
    int logins;     // checks begun at 0, each for a login of its own
    int waitOn;     // then checks for alice from clean addresses, over her budget
    int lookAt;     // when the store is let go
    size_t atOnce;  // refused at once
    size_t looked;  // lookups the store saw in the end
  } cases[] = {
      {"five checks past their deadline", 5, 0, 5, 0, 1},
      // Those past the worker's backlog wait, and fail with the store.
      {"more checks than the worker takes", 30, 0, 5, 0, 1},
      {"checks waiting past 10 s", 0, 3, 12, 0, 1},
  };
  for (const auto& c : cases) {
    HangingStore store;
    Desk desk(LoginThrottle::Rules{1, std::chrono::minutes(1), std::chrono::minutes(1), 10}, &store);
    size_t refused = 0;
    std::vector<LoginDesk::Answer> answers;
    for (int i = 0; i < c.logins; ++i) {
      refused +=
          desk->Begin(i + 1, "10.0.0." + std::to_string(i + 1), "login" + std::to_string(i), "guess", At(0))
              ? 1
              : 0;
    }
    if (c.waitOn > 0) {
      for (int i = 0; i < 10; ++i)
        ASSERT_FALSE(desk->Begin(100 + i, "10.2.0." + std::to_string(i), "alice", "x", At(0)));
      for (int i = 0; i < c.waitOn; ++i) {
        ASSERT_FALSE(desk->Begin(200 + i, "10.3." + std::to_string(i) + ".1", "alice", "x", At(1))) << c.what;
      }
      ASSERT_EQ(desk->waiting(), static_cast<size_t>(c.waitOn)) << c.what;
    }
    EXPECT_EQ(refused, c.atOnce) << c.what;
    EXPECT_LE(desk->atTheStore(), kChecksAtTheStore) << c.what;
    // The worker has begun the first check and hangs in it.
    for (int i = 0; i < 200 && store.lookups() == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    desk->StartDue(At(c.lookAt));
    for (LoginDesk::Answer& answer : desk->Collect(At(c.lookAt))) answers.push_back(std::move(answer));
    EXPECT_EQ(desk->pending(), 0u) << c.what;
    EXPECT_EQ(desk->waiting(), 0u) << c.what;
    store.LetGo();
    desk.Settle(At(c.lookAt));
    EXPECT_EQ(store.lookups(), c.looked) << c.what;
    EXPECT_EQ(desk.hashed(), c.looked) << c.what;
    EXPECT_EQ(desk->atTheStore(), 0u) << c.what;
    // The first address's guess was begun and answered late: with one
    // failure locking, its next check is refused without hashing.
    const std::string first = c.logins > 0 ? "10.0.0.1" : "10.2.0.0";
    EXPECT_EQ(desk->Begin(999, first, "bob", "guess", At(c.lookAt + 1)), LoginOutcome::kThrottled) << c.what;
  }
}

}  // namespace
}  // namespace gorvane::server
