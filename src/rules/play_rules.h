// SPDX-License-Identifier: GPL-3.0-or-later
// The client's own play and discard rules: what a selection of hand rows
// may be sent as. One copy of the rules, shared by the game window, the
// headless players and the server's judgement.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rules/card_catalogue.h"
#include "rules/game_state.h"

namespace gorvane {

const char* PlayKindName(PlayKind kind);

using Marks = std::array<bool, kHandSlots>;

// One hand slot as the rules see it.
struct HandSlot {
  int32_t card = 0;
  char kind = 0;  // the card's kind letter, 0 for a blank card
};

// What a play click may read besides the marks.
struct PlayContext {
  std::vector<HandSlot> hand;        // slots 0 .. handCount-1
  std::vector<size_t> selectedRows;  // selected hand rows, top row first
  int32_t myId = 0;
  int32_t monster = -1;  // the monster attached to the player
  char monsterKind = 0;
  size_t corridorRows = 0;
  bool charmBoxSelected = false;  // any row of the charm box
  int32_t charmedMonster = -1;    // -1: none held, whatever the box shows
  // Member list: the id of each row and the selected row, if any.
  std::vector<int32_t> memberIds;
  std::optional<size_t> selectedMember;
};

// The state a play click reads and changes.
struct PlayState {
  PlayKind playKind = PlayKind::Corridor;
  PlayKind savedPlayKind = PlayKind::Corridor;
  Marks usedMarks{};
  Marks savedMarks{};
  bool charmCast = false;
};

struct PlayOutcome {
  // The P_PLAY argument when something is sent.
  std::optional<std::string> command;
  // The member a monster or the charmed monster goes to.
  std::optional<int32_t> target;
  // The red console line (code page 932) when nothing is sent.
  std::optional<std::string> refusal;
  bool clearCharmBox = false;
  // The hand's marks changed and the hand must be redrawn.
  bool marksChanged = false;
};

// The play button: classifies the selection, sets marks and play kinds, and
// says what to send or why not.
PlayOutcome DecidePlay(const PlayContext& context, PlayState& state);

struct DiscardContext {
  std::vector<HandSlot> hand;
  std::vector<size_t> selectedRows;
  bool trapPending = false;
};

struct DiscardOutcome {
  std::optional<std::string> command;  // the P_PILE argument
  std::optional<std::string> refusal;
};

// The discard button: the trap rule or the hand-size rule. On success the
// selected slots are marked; savedMarks always holds the marks from before.
DiscardOutcome DecideDiscard(const DiscardContext& context, Marks& usedMarks, Marks& savedMarks);

}  // namespace gorvane
