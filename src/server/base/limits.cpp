// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/base/limits.h"

#include <algorithm>

#include "spine/sjis.h"

namespace gorvane::server {
namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

// Past this many entries a map of failures is pruned of what has expired.
constexpr size_t kPruneFloor = 4096;

}  // namespace

std::string CleanText(std::string_view text, size_t limit) {
  std::string clean;
  clean.reserve(std::min(text.size(), limit));
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (IsControl(c)) {
      ++i;
      continue;
    }
    if (sjis::IsLeadByte(c)) {
      // The second byte is whatever comes next once control bytes are gone;
      // without one the lead byte would swallow what follows the text.
      size_t next = i + 1;
      while (next < text.size() && IsControl(static_cast<unsigned char>(text[next]))) ++next;
      if (next >= text.size()) break;
      if (clean.size() + 2 > limit) break;
      clean += static_cast<char>(c);
      clean += text[next];
      i = next + 1;
      continue;
    }
    if (clean.size() + 1 > limit) break;
    clean += static_cast<char>(c);
    ++i;
  }
  return clean;
}

void RateLimit::Expire(TimePoint now) {
  while (head_ < passed_.size() && now - passed_[head_].at >= window_) {
    passedBytes_ -= passed_[head_].bytes;
    ++head_;
  }
  if (head_ == passed_.size()) {
    passed_.clear();
    head_ = 0;
  } else if (head_ > 32 && head_ * 2 > passed_.size()) {
    passed_.erase(passed_.begin(), passed_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
}

RateLimit::Decision RateLimit::Admit(TimePoint now, size_t bytes) {
  if (rule_.count == 0) return {};
  if (now - triedSince_ >= window_) {
    triedSince_ = now;
    tried_ = 0;
    triedBytes_ = 0;
  }
  ++tried_;
  triedBytes_ += bytes;
  if (tried_ > 10 * rule_.count || (rule_.bytes != 0 && triedBytes_ > 10 * rule_.bytes)) {
    return {Verdict::kCut, false};
  }
  Expire(now);
  const size_t count = passed_.size() - head_;
  const bool over = count >= rule_.count || (rule_.bytes != 0 && passedBytes_ + bytes > rule_.bytes);
  if (over) {
    const bool first = !dropping_;
    dropping_ = true;
    return {Verdict::kDrop, first};
  }
  dropping_ = false;
  passed_.push_back({now, bytes});
  passedBytes_ += bytes;
  return {};
}

bool RateLimit::Full(TimePoint now) const {
  if (rule_.count == 0) return false;
  size_t count = 0;
  for (size_t i = head_; i < passed_.size(); ++i) count += now - passed_[i].at < window_ ? 1 : 0;
  return count >= rule_.count;
}

bool LoginThrottle::Locked(TimePoint now, const std::string& address) const {
  const auto found = byAddress_.find(address);
  return found != byAddress_.end() && now < found->second.lockedUntil;
}

bool LoginThrottle::Failing(TimePoint now, const std::string& address) const {
  const auto found = byAddress_.find(address);
  if (found == byAddress_.end()) return false;
  const Record& record = found->second;
  const TimePoint latest = *std::max_element(record.failures.begin(), record.failures.end());
  return now < record.lockedUntil || (record.count > 0 && now - latest < rules_.window);
}

bool LoginThrottle::Failed(TimePoint now, const std::string& address) {
  Record& record = byAddress_[address];
  const size_t ring = std::clamp<size_t>(rules_.failures, 1, record.failures.size());
  record.failures[record.count % ring] = now;
  ++record.count;
  bool fresh = false;
  // The oldest of the last `ring` failures, still within the window: lock.
  if (record.count >= ring && now - record.failures[record.count % ring] < rules_.window) {
    fresh = now >= record.lockedUntil;
    record.lockedUntil = now + rules_.lock;
  }
  if (tracked() >= pruneAt_) Prune(now);
  return fresh;
}

Duration LoginThrottle::Spacing() const {
  return rules_.window / static_cast<Duration::rep>(std::max<size_t>(rules_.checks, 1));
}

TimePoint LoginThrottle::CheckFreeAt(TimePoint now, const std::string& login) const {
  const auto found = budgets_.find(LoginKey(login));
  if (found == budgets_.end()) return now;
  return std::max(now, found->second - rules_.window + Spacing());
}

void LoginThrottle::Checked(TimePoint now, const std::string& login) {
  const auto [found, fresh] = budgets_.try_emplace(LoginKey(login), now);
  found->second = std::max(found->second, now) + Spacing();
  if (fresh && tracked() >= pruneAt_) Prune(now);
}

void LoginThrottle::Prune(TimePoint now) {
  // Entries whose lock is over and whose failures are all out of the window
  // say nothing any more, nor do full buckets; many addresses and logins
  // must not grow the maps for ever.
  std::erase_if(byAddress_, [&](const auto& entry) {
    const Record& record = entry.second;
    if (now < record.lockedUntil) return false;
    const TimePoint latest = *std::max_element(record.failures.begin(), record.failures.end());
    return now - latest >= rules_.window;
  });
  std::erase_if(budgets_, [&](const auto& entry) { return entry.second <= now; });
  pruneAt_ = std::max(kPruneFloor, 2 * tracked());
}

bool AddressWatch::CoolingOff(const std::string& address, TimePoint now) const {
  const auto found = records_.find(address);
  return found != records_.end() && now < found->second.coolUntil;
}

bool AddressWatch::JoinsFull(const std::string& address, TimePoint now) const {
  const auto found = records_.find(address);
  return found != records_.end() && found->second.joins.Full(now);
}

AddressWatch::Record& AddressWatch::At(const std::string& address, TimePoint now) {
  if (records_.size() >= pruneAt_) {
    std::erase_if(records_, [&](const auto& entry) {
      const Record& record = entry.second;
      const TimePoint lastCut = *std::max_element(record.cuts.begin(), record.cuts.end());
      return now >= record.coolUntil && now - record.lastJoin >= window_ && now - lastCut >= coolOff_;
    });
    pruneAt_ = std::max(kPruneFloor, 2 * records_.size());
  }
  const auto [found, fresh] = records_.try_emplace(address);
  if (fresh) found->second.joins = RateLimit(joins_, window_);
  return found->second;
}

bool AddressWatch::Join(const std::string& address, TimePoint now) {
  Record& record = At(address, now);
  record.lastJoin = now;
  return record.joins.Admit(now, 0).verdict == RateLimit::Verdict::kPass;
}

bool AddressWatch::CutOff(const std::string& address, TimePoint now) {
  Record& record = At(address, now);
  record.cuts[record.cutCount++ % kCutsToCool] = now;
  // The slot written next holds the oldest of the latest kCutsToCool.
  const bool several =
      record.cutCount >= kCutsToCool && now - record.cuts[record.cutCount % kCutsToCool] < coolOff_;
  if (several) record.coolUntil = now + coolOff_;
  return several;
}

AddressPace::AddressPace(size_t burst, size_t perSecond)
    : spacing_(std::chrono::duration_cast<Duration>(std::chrono::seconds(1)) /
               static_cast<Duration::rep>(std::max<size_t>(perSecond, 1))),
      depth_(spacing_ * static_cast<Duration::rep>(std::max<size_t>(burst, 1))) {}

bool AddressPace::Take(const std::string& address, TimePoint now) {
  const auto [found, fresh] = fullAt_.try_emplace(address, now);
  const TimePoint from = std::max(found->second, now);
  if (from + spacing_ - now > depth_) return false;
  found->second = from + spacing_;
  if (fresh && fullAt_.size() >= pruneAt_) {
    std::erase_if(fullAt_, [&](const auto& entry) { return entry.second <= now; });
    pruneAt_ = std::max(kPruneFloor, 2 * fullAt_.size());
  }
  return true;
}

}  // namespace gorvane::server
