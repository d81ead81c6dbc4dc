// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/lobby/owed_results.h"

#include "server/lobby/outbox.h"

namespace gorvane::server {

OwedResults::OwedResults(AccountStore& accounts, std::function<void(std::string_view)> log)
    : accounts_(accounts), log_(std::move(log)), prefix_(NewResultId()) {}

void OwedResults::Owe(const std::string& login, int64_t prize, int64_t wins, Outbox& outbox) {
  std::string id = prefix_;
  for (int shift = 56; shift >= 0; shift -= 8) id += static_cast<char>((next_ >> shift) & 0xFF);
  ++next_;
  owed_.push_back({std::move(id), login, prize, wins});
  if (!writing_ && !retryAt_) Write(outbox);
}

std::optional<TimePoint> OwedResults::Pump(Outbox& outbox, TimePoint now) {
  now_ = now;
  if (retryAt_ && now >= *retryAt_) {
    retryAt_.reset();
    Write(outbox);
  }
  return retryAt_;
}

void OwedResults::Write(Outbox& outbox) {
  if (owed_.empty() || writing_) return;
  auto batch = std::make_shared<Batch>();
  batch->results.assign(owed_.begin(), owed_.end());
  writing_ = batch;
  outbox.OffLoop([this, &outbox, batch, &accounts = accounts_] {
    // In order, and no further than the first that fails: a later result
    // never overtakes an earlier one.
    for (const OwedResult& result : batch->results) {
      if (!accounts.Apply(result, batch->error)) break;
      ++batch->written;
    }
    return [this, &outbox, batch] { Written(outbox, *batch); };
  });
}

void OwedResults::Written(Outbox& outbox, const Batch& batch) {
  writing_.reset();
  owed_.erase(owed_.begin(), owed_.begin() + static_cast<std::ptrdiff_t>(batch.written));
  if (batch.written == batch.results.size()) {
    if (reported_ && log_) {
      log_("the account store is back: owed game results stored");
    }
    reported_.reset();
    failures_ = 0;
    Write(outbox);
    return;
  }
  retryAt_ = now_ + kResultRetry;
  ++failures_;
  if (!reported_ || now_ - *reported_ >= kResultReportGap) {
    if (log_) {
      log_(std::to_string(owed_.size()) + " game results owed, not stored yet (" + std::to_string(failures_) +
           " failed writes): " + batch.error + "; trying again");
    }
    reported_ = now_;
    failures_ = 0;
  }
}

std::vector<OwedResult> OwedResults::Unwritten() {
  if (writing_) {
    owed_.erase(owed_.begin(), owed_.begin() + static_cast<std::ptrdiff_t>(writing_->written));
    writing_.reset();
  }
  return {owed_.begin(), owed_.end()};
}

}  // namespace gorvane::server
