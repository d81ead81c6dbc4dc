// SPDX-License-Identifier: GPL-3.0-or-later
// One seeded game of headless players, in process: the server's own game
// room judges it, and each player is the client's game room, fed through
// the client's receive path, with a planner in the chair. No sockets, so
// that a thousand games take seconds and a seed replays its game.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rules/card_catalogue.h"

namespace gorvane::bench {

struct SeatOutcome {
  int strength = 2;
  int turns = 0;  // own turns begun
  bool out = false;
  int32_t amount = 0;  // as the results give it
};

struct TableOutcome {
  std::vector<SeatOutcome> seats;  // in seat order, the first one leading
  bool deckOut = false;            // ended by the empty deck, not by everyone out
  bool stalled = false;            // a player found no click to make
  int refused = 0;                 // plays and discards the server turned away
};

// strengths: one per seat. The deck at deckPath is the one cards was read
// from: the players read it themselves, as the client does.
TableOutcome PlayTable(const std::string& deckPath, const CardCatalogue& cards, uint32_t seed,
                       const std::vector<int>& strengths);

}  // namespace gorvane::bench
