// SPDX-License-Identifier: GPL-3.0-or-later
// Password checks for one login paced across addresses, on a set clock: the
// hashing runs on the desk's worker, the time is the test's.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/store/accounts.h"
#include "server/store/logins.h"

namespace gorvane::server {
namespace {

// A desk over an account "alice" whose password is "right"; the hashing
// only counts and compares.
class Desk {
 public:
  Desk() {
    std::string error;
    store_ = AccountStore::Open(":memory:", error);
    EXPECT_TRUE(store_ && store_->SetPassword("alice", "right", error)) << error;
    bool failed = false;
    right_ = store_->Find("alice", failed).value().hash;
    desk_.emplace(*store_, LoginThrottle::Rules{}, [this](std::string_view password, std::string_view, int) {
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
    for (int i = 0; i < 500 && (desk_->pending() > desk_->waiting() || i == 0); ++i) {
      pollfd ready{desk_->fd(), POLLIN, 0};
      ::poll(&ready, 1, 10);
      for (LoginDesk::Answer& answer : desk_->Collect(now)) answers.push_back(std::move(answer));
    }
    return answers;
  }

 private:
  std::unique_ptr<AccountStore> store_;
  std::string right_;
  std::atomic<size_t> hashed_ = 0;
  std::optional<LoginDesk> desk_;
};

TimePoint At(int seconds) { return TimePoint{} + std::chrono::seconds(seconds); }

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

}  // namespace
}  // namespace gorvane::server
