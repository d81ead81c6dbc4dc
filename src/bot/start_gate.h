// SPDX-License-Identifier: GPL-3.0-or-later
// When a party's leader starts the game: not the moment someone joins, but
// once the party has company and its member list has stayed as it is for a
// while, so that a newcomer can look at the party window, or leave, first.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace gorvane::bot {

struct StartRule {
  // The party's members, the leader among them, a game starts with; never
  // fewer than two, the leader and one other.
  size_t players = 3;
  // How long the member list must stay as it is; zero: start at once.
  std::chrono::milliseconds settle{0};
};

struct StartVerdict {
  bool start = false;
  // When waiting alone may change the verdict; nothing: only a member who
  // comes or goes can.
  std::optional<std::chrono::steady_clock::time_point> lookAgain;
  friend bool operator==(const StartVerdict&, const StartVerdict&) = default;
};

class StartGate {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  explicit StartGate(StartRule rule) : rule_(rule) {}

  // The member ids as the party window shows them at now; a list unlike the
  // last one seen begins the wait again.
  void Saw(std::vector<int32_t> members, TimePoint now);
  StartVerdict Decide(TimePoint now) const;

 private:
  StartRule rule_;
  std::vector<int32_t> members_;
  TimePoint changed_{};
};

}  // namespace gorvane::bot
