// SPDX-License-Identifier: GPL-3.0-or-later
// What one connection may make the server do for it: how much it may have
// relayed to the others, how long its texts may be, how often an address
// may fail to log in before the server stops hashing passwords for it, and
// how many passwords it hashes for one login.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace gorvane::server {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;
using Duration = SteadyClock::duration;

// Chat lines are cut to this many bytes, names to that many.
inline constexpr size_t kChatTextBytes = 400;
inline constexpr size_t kNameBytes = 64;

// The text with bytes 0x00-0x1F and 0x7F taken out and cut to at most limit
// bytes at a code page 932 character boundary: a double-byte character is
// kept whole or not at all, and a lead byte left without its second byte at
// the end goes too.
std::string CleanText(std::string_view text, size_t limit);

// At most `count` events and `bytes` bytes (0: bytes not counted) in any
// window; a sender that keeps trying at ten times that is to be cut off.
struct RateRule {
  size_t count = 0;
  size_t bytes = 0;
};

class RateLimit {
 public:
  enum class Verdict { kPass, kDrop, kCut };
  struct Decision {
    Verdict verdict = Verdict::kPass;
    bool firstDrop = false;  // the first drop since the last event that passed
  };

  RateLimit() = default;
  RateLimit(RateRule rule, Duration window) : rule_(rule), window_(window) {}

  // One event of the given size, tried at now.
  Decision Admit(TimePoint now, size_t bytes);
  // Whether one more event now would be dropped, counting nothing.
  bool Full(TimePoint now) const;

 private:
  struct Event {
    TimePoint at;
    size_t bytes;
  };
  void Expire(TimePoint now);

  RateRule rule_;
  Duration window_{};
  // What passed within the window, oldest first from head_.
  std::vector<Event> passed_;
  size_t head_ = 0;
  size_t passedBytes_ = 0;
  // Everything tried in the current fixed window, for cutting off.
  TimePoint triedSince_{};
  size_t tried_ = 0;
  size_t triedBytes_ = 0;
  bool dropping_ = false;
};

// At most `count` events per fixed window, kept in two numbers: for a
// budget as large as every command of a connection, where remembering each
// event, as RateLimit does, would cost kilobytes per user.
class WindowCount {
 public:
  WindowCount() = default;
  WindowCount(size_t count, Duration window) : count_(count), window_(window) {}
  // Counts one event; false when it is past the window's count.
  bool Admit(TimePoint now) {
    if (now - since_ >= window_) {
      since_ = now;
      seen_ = 0;
    }
    return ++seen_ <= count_;
  }

 private:
  size_t count_ = 0;
  Duration window_{};
  TimePoint since_{};
  size_t seen_ = 0;
};

// A login as the server keys it: a client may send one of 64 KiB, and many
// of those must not fill the memory.
inline std::string LoginKey(const std::string& login) { return login.substr(0, 256); }

// Failed logins counted per address: after `failures` within `window`, every
// attempt from it is refused without hashing until `lock` has passed. A
// login is never locked, since anybody could lock its owner out; instead its
// password checks, from wherever they come, are held to `checks` per
// `window` on average: a bucket of that many, refilled evenly.
class LoginThrottle {
 public:
  struct Rules {
    size_t failures = 5;
    Duration window = std::chrono::minutes(1);
    Duration lock = std::chrono::minutes(1);
    size_t checks = 10;
  };

  LoginThrottle() = default;
  explicit LoginThrottle(Rules rules) : rules_(rules) {}

  bool Locked(TimePoint now, const std::string& address) const;
  // Whether the address has failed within the window (or is locked).
  bool Failing(TimePoint now, const std::string& address) const;
  // Counts a failure; true when it locks the address.
  bool Failed(TimePoint now, const std::string& address);

  // When the login may next have its password checked: now or later.
  TimePoint CheckFreeAt(TimePoint now, const std::string& login) const;
  // Counts a check against the login's budget.
  void Checked(TimePoint now, const std::string& login);
  size_t tracked() const { return byAddress_.size() + budgets_.size(); }

 private:
  struct Record {
    std::array<TimePoint, 8> failures{};  // the latest, as a ring
    size_t count = 0;
    TimePoint lockedUntil{};
  };
  Duration Spacing() const;
  void Prune(TimePoint now);

  Rules rules_;
  std::unordered_map<std::string, Record> byAddress_;
  // Per login key, when its bucket is full again: each check moves this on
  // by one spacing, and a check is allowed while it lies less than a window
  // ahead.
  std::unordered_map<std::string, TimePoint> budgets_;
  size_t pruneAt_ = 4096;
};

// What each address has done lately: how often its connections joined the
// lobby (each join and each departure is told to everybody), and whether it
// is cooling off because kCutsToCool of its connections were cut off within
// the cool-off: one user's flood must not shut out everybody behind the
// same NAT or prefix, but a flooder that keeps coming back does.
class AddressWatch {
 public:
  AddressWatch() = default;
  AddressWatch(RateRule joins, Duration window, Duration coolOff)
      : joins_(joins), window_(window), coolOff_(coolOff) {}

  bool CoolingOff(const std::string& address, TimePoint now) const;
  // Whether a join now would be turned away, counting nothing.
  bool JoinsFull(const std::string& address, TimePoint now) const;
  // Counts a join; false when the address has joined too often lately.
  bool Join(const std::string& address, TimePoint now);
  // Counts a connection cut off; true when the address now cools off.
  bool CutOff(const std::string& address, TimePoint now);

  static constexpr size_t kCutsToCool = 3;

 private:
  struct Record {
    RateLimit joins;
    TimePoint lastJoin{};
    TimePoint coolUntil{};
    std::array<TimePoint, kCutsToCool> cuts{};  // the latest, as a ring
    size_t cutCount = 0;
  };
  Record& At(const std::string& address, TimePoint now);

  RateRule joins_;
  Duration window_{};
  Duration coolOff_{};
  std::unordered_map<std::string, Record> records_;
  size_t pruneAt_ = 4096;
};

// What an address may start: `burst` at once, then `perSecond` on average,
// from a bucket refilled evenly. An address whose bucket is full again is
// forgotten, so that many addresses do not grow the table for ever.
class AddressPace {
 public:
  AddressPace(size_t burst, size_t perSecond);

  // Takes one from the address's bucket; false, taking nothing, when empty.
  bool Take(const std::string& address, TimePoint now);
  size_t tracked() const { return fullAt_.size(); }

 private:
  Duration spacing_;
  Duration depth_;
  std::unordered_map<std::string, TimePoint> fullAt_;
  size_t pruneAt_ = 4096;
};

}  // namespace gorvane::server
