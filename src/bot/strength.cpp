// SPDX-License-Identifier: GPL-3.0-or-later
#include "bot/strength.h"

#include "bot/lookahead_planner.h"
#include "bot/random_planner.h"

namespace gorvane::bot {

std::unique_ptr<TurnPlanner> MakePlanner(int strength, const CardCatalogue& cards, uint32_t seed) {
  if (strength == 1) return std::make_unique<RandomPlanner>(cards, seed);
  if (strength == 3) return std::make_unique<LookaheadPlanner>(cards);
  return std::make_unique<TurnPlanner>(cards);
}

uint32_t SeedFromName(std::string_view name) {
  // FNV-1a: the same on every platform, unlike std::hash.
  uint32_t hash = 2166136261u;
  for (const char c : name) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619u;
  }
  return hash;
}

std::optional<int> ThinkTime::Next() {
  if (!on_) return std::nullopt;
  constexpr uint32_t span = kLongestMs - kShortestMs + 1;
  return kShortestMs + static_cast<int>(rng_() % span);
}

}  // namespace gorvane::bot
