// SPDX-License-Identifier: GPL-3.0-or-later
// The game window's own copy of the game, beside the roster.
#pragma once

#include <array>
#include <cstdint>

namespace gorvane {

// What the last play sent was; selects what the server's acceptance does.
enum class PlayKind : int32_t {
  Rejected = -2,
  NoPlay = -1,
  Corridor = 0,
  SendMonster = 1,
  Detour = 2,
  ClericRepel = 3,
  Fight = 4,
  ClericRevive = 5,
  ReviveUsed = 6,
  SendCharmed = 7,
};

inline constexpr size_t kHandSlots = 16;
// Rows of the corridor list, 0 to 30.
inline constexpr size_t kCorridorRows = 31;

struct GameState {
  bool gameRunning = false;
  // The last card drawn was a trap.
  bool trapPending = false;
  // The hand: slot i is row i of the hand list; the own member's handCount
  // says how many slots are in use.
  std::array<int32_t, kHandSlots> handCards{};
  // "[U] ": committed this turn, leaves the hand at the turn end.
  std::array<bool, kHandSlots> usedMarks{};
  // usedMarks before the latest play or pile, for a refusal to put back.
  std::array<bool, kHandSlots> savedMarks{};
  PlayKind playKind = PlayKind::Corridor;
  PlayKind savedPlayKind = PlayKind::Corridor;
  std::array<int32_t, kCorridorRows> corridorValues{};
  int32_t charmedMonster = -1;
  bool charmCast = false;
};

}  // namespace gorvane
