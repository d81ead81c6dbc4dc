// SPDX-License-Identifier: GPL-3.0-or-later
// Results of ended games on their way to the account store: kept in order
// on the loop and written off it, a batch at a time. Each carries an id the
// store keeps with it, so a write made again after a failure (even one whose
// answer was lost after the commit) applies the result exactly once.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/base/limits.h"
#include "server/store/accounts.h"

namespace gorvane::server {

class Outbox;

// After a failed write, the next is tried this much later; the store itself
// backs off its reconnecting.
inline constexpr auto kResultRetry = std::chrono::milliseconds(500);
// A store that stays down is reported at most this often.
inline constexpr auto kResultReportGap = std::chrono::seconds(10);

class OwedResults {
 public:
  OwedResults(AccountStore& accounts, std::function<void(std::string_view)> log);

  // On the loop: a result owed to the login's account, written after those
  // owed before it.
  void Owe(const std::string& login, int64_t prize, int64_t wins, Outbox& outbox);
  // Writes what is owed unless a write is under way or waits out a failure;
  // when to call again, if anything is owed.
  std::optional<TimePoint> Pump(Outbox& outbox, TimePoint now);
  // Results not applied yet.
  size_t size() const { return owed_.size(); }
  // Once no worker runs any more: the results still owed, a write that was
  // under way taken into account.
  std::vector<OwedResult> Unwritten();

 private:
  struct Batch {
    std::vector<OwedResult> results;
    size_t written = 0;
    std::string error;
  };
  void Write(Outbox& outbox);
  void Written(Outbox& outbox, const Batch& batch);

  AccountStore& accounts_;
  std::function<void(std::string_view)> log_;
  std::deque<OwedResult> owed_;
  std::shared_ptr<Batch> writing_;
  std::optional<TimePoint> retryAt_;
  TimePoint now_{};
  // Failed writes since the store was last reported.
  size_t failures_ = 0;
  std::optional<TimePoint> reported_;
  // This server's ids: a random prefix and a counter.
  std::string prefix_;
  uint64_t next_ = 0;
};

}  // namespace gorvane::server
