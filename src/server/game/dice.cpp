// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/game/dice.h"

#include <limits>
#include <utility>

namespace gorvane::server {

uint32_t Below(std::mt19937& rng, uint32_t n) {
  // Draws at or above the last whole multiple of n would favour the low
  // values; they are drawn again.
  constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
  const uint32_t limit = kMax - kMax % n;
  uint32_t x = 0;
  do {
    x = static_cast<uint32_t>(rng());
  } while (x >= limit);
  return x % n;
}

int32_t RollDie(std::mt19937& rng) { return static_cast<int32_t>(Below(rng, 6)) + 1; }

void Shuffle(std::vector<int32_t>& items, std::mt19937& rng) {
  for (size_t i = items.size(); i > 1; --i) {
    const size_t j = Below(rng, static_cast<uint32_t>(i));
    std::swap(items[i - 1], items[j]);
  }
}

}  // namespace gorvane::server
