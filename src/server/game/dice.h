// SPDX-License-Identifier: GPL-3.0-or-later
// The server's chance: every shuffle and roll comes from one seeded
// generator, drawn the same way on every platform, so that a seed replays a
// game move for move.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace gorvane::server {

// Uniform in [0, n); n > 0.
uint32_t Below(std::mt19937& rng, uint32_t n);

// One six-sided die.
int32_t RollDie(std::mt19937& rng);

// Fisher-Yates over the whole list.
void Shuffle(std::vector<int32_t>& items, std::mt19937& rng);

}  // namespace gorvane::server
