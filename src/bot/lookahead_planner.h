// SPDX-License-Identifier: GPL-3.0-or-later
// Strength 3: a player who plans the turn from what it can see (its hand,
// everyone's position and treasure, the plays on the table). It walks to
// the treasure room with as little to walk back as its corridor cards
// allow, turns back there with a play that costs no distance, keeps a
// cleric for the monster it cannot beat rather than giving up a corridor
// to a detour, and sends its monsters to whoever is about to get out with
// the most treasure.
#pragma once

#include "bot/turn_planner.h"

namespace gorvane::bot {

class LookaheadPlanner : public TurnPlanner {
 public:
  explicit LookaheadPlanner(const CardCatalogue& cards) : TurnPlanner(cards) {}

 protected:
  std::optional<Click> ChoosePlay(const GameRoom& room, const party_t& own, int32_t myId) override;
  std::vector<size_t> MonsterTargets(const GameRoom& room, int32_t myId) const override;
  double KeepScore(const Slot& slot) const override;

 private:
  // The corridor card to lay next on the way in: of the cards that reach
  // the treasure room, the set that overshoots least; all when none do.
  std::optional<Slot> NextCorridorIn(const std::vector<Slot>& corridors, int32_t distance) const;
  std::optional<Click> SendMonster(const GameRoom& room, const std::vector<Slot>& monsters, int32_t myId);
};

}  // namespace gorvane::bot
