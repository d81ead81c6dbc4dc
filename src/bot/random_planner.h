// SPDX-License-Identifier: GPL-3.0-or-later
// Strength 1: a player who knows the rules and nothing else. Each click is
// drawn from the plays the client's rules would send and the server takes,
// ending the plays being one choice among them; discards are drawn too.
#pragma once

#include <random>

#include "bot/turn_planner.h"

namespace gorvane::bot {

class RandomPlanner : public TurnPlanner {
 public:
  RandomPlanner(const CardCatalogue& cards, uint32_t seed) : TurnPlanner(cards), rng_(seed) {}

 protected:
  std::optional<Click> ChoosePlay(const GameRoom& room, const party_t& own, int32_t myId) override;
  std::optional<Click> Discard(const GameRoom& room, const party_t& own) override;
  std::optional<Click> TrapDiscard(const GameRoom& room, const party_t& own) override;

 private:
  size_t Below(size_t n) { return static_cast<size_t>(rng_() % n); }
  std::vector<size_t> Pick(std::vector<size_t> rows, size_t count);

  std::mt19937 rng_;
};

}  // namespace gorvane::bot
