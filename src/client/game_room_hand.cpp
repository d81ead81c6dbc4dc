// SPDX-License-Identifier: GPL-3.0-or-later
// The player's hand: the slots, their marks and the hand list's rows.
#include <algorithm>

#include "client/game_room.h"
#include "spine/codec.h"
#include "spine/fields.h"

namespace gorvane {

void GameRoom::GetHand(std::string_view commaText) {
  size_t count = 0;
  for (const std::string_view field : FieldViews(commaText)) {
    const int32_t card = ToInteger(field);
    if (count == kHandSlots) {
      // More cards than the hand has slots: keep what fits.
      lobby_.debugLog.AppendLine("GetHand: the hand is full; card " + std::to_string(card) + " dropped");
      continue;
    }
    state_.handCards[count++] = card;
  }
  TakeHand(count);
}

void GameRoom::TakeHand(size_t count) {
  if (party_t* own = roster_.ownMember()) {
    own->handCount = static_cast<int32_t>(count);
  } else {
    lobby_.debugLog.AppendLine("GetHand: no own member in the roster");
  }
  ShowHand();
}

size_t GameRoom::HandCount() {
  const party_t* own = roster_.ownMember();
  if (own == nullptr) return 0;
  return static_cast<size_t>(std::clamp<int32_t>(own->handCount, 0, static_cast<int32_t>(kHandSlots)));
}

void GameRoom::ShowHand() {
  // The rows show the hand as it is now; their texts are made when the
  // window draws them.
  shownHand_ = {state_.handCards, state_.usedMarks, HandCount()};
  screen_.handList.AssignLater(shownHand_.count, [this] {
    std::vector<std::string> rows;
    rows.reserve(shownHand_.count);
    for (size_t i = 0; i < shownHand_.count; ++i) {
      rows.push_back((shownHand_.marks[i] ? "[U] " : "") + lobby_.catalogue.CardText(shownHand_.cards[i]));
    }
    return rows;
  });
  view_.Redraw(GameView::kHandList);
}

}  // namespace gorvane
