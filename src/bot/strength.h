// SPDX-License-Identifier: GPL-3.0-or-later
// How well a headless player plays, and how long it seems to think: the
// planner of each strength and the seeded chance that drives them, so
// that a game replayed with the same seeds is played the same way.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string_view>

#include "bot/turn_planner.h"

namespace gorvane::bot {

inline constexpr int kWeakest = 1;
inline constexpr int kStrongest = 3;
inline constexpr int kDefaultStrength = 2;

// 1: random legal plays; 2: the planner as it has always played; 3: one
// that looks ahead. Any other number plays as 2.
std::unique_ptr<TurnPlanner> MakePlanner(int strength, const CardCatalogue& cards, uint32_t seed);

// A seed from a player's name, so that a player started alike plays alike.
uint32_t SeedFromName(std::string_view name);

// The moment a player waits before each click when asked to, so that a
// person watching the game window can follow what it does; nothing when
// it is not asked to wait.
class ThinkTime {
 public:
  static constexpr int kShortestMs = 600;
  static constexpr int kLongestMs = 1800;
  ThinkTime(bool on, uint32_t seed) : on_(on), rng_(seed) {}
  std::optional<int> Next();

 private:
  bool on_;
  std::mt19937 rng_;
};

}  // namespace gorvane::bot
