// SPDX-License-Identifier: GPL-3.0-or-later
#include "bot/start_gate.h"

#include <algorithm>

namespace gorvane::bot {

void StartGate::Saw(std::vector<int32_t> members, TimePoint now) {
  // The window keeps its list sorted, but a list seen in another order is
  // still the same people.
  std::sort(members.begin(), members.end());
  if (members == members_) return;
  members_ = std::move(members);
  changed_ = now;
}

StartVerdict StartGate::Decide(TimePoint now) const {
  if (members_.size() < std::max<size_t>(rule_.players, 2)) return {};
  const TimePoint settled = changed_ + rule_.settle;
  if (now >= settled) return {true, std::nullopt};
  return {false, settled};
}

}  // namespace gorvane::bot
