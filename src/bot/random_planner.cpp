// SPDX-License-Identifier: GPL-3.0-or-later
#include "bot/random_planner.h"

#include <algorithm>
#include <string_view>

namespace gorvane::bot {
namespace {

bool IsOneOf(char kind, std::string_view letters) {
  return kind != 0 && letters.find(kind) != std::string_view::npos;
}

}  // namespace

std::vector<size_t> RandomPlanner::Pick(std::vector<size_t> rows, size_t count) {
  for (size_t i = 0; i < count && i < rows.size(); ++i) std::swap(rows[i], rows[i + Below(rows.size() - i)]);
  rows.resize(std::min(count, rows.size()));
  std::sort(rows.begin(), rows.end());
  return rows;
}

std::optional<Click> RandomPlanner::ChoosePlay(const GameRoom& room, const party_t& own, int32_t myId) {
  const std::vector<Slot> hand = Hand(room, own);
  const size_t members = room.roster().members.size();
  std::vector<Click> options;
  auto offer = [&](const Click& click) {
    if (turn_.refused.count(Key(room, click)) == 0 && Passes(room, myId, click)) options.push_back(click);
  };
  if (room.screen().charmBox.size() > 0 && room.state().charmedMonster != -1) {
    for (size_t member = 0; member < members; ++member) offer({Button::kPlay, {}, member, true});
  }
  std::vector<size_t> fighters;
  std::vector<size_t> marked;
  for (const Slot& slot : hand) {
    const char kind = slot.info->kind;
    if (slot.marked) {
      // Only the wounded of this turn's fights come back; a card marked by
      // another play passes the client's rules but not the server.
      if (IsOneOf(kind, "DEFMT")) marked.push_back(slot.row);
    } else if (IsOneOf(kind, "HUW")) {
      for (size_t member = 0; member < members; ++member) offer({Button::kPlay, {slot.row}, member, false});
      continue;
    } else if (!IsOneOf(kind, "LPC")) {
      fighters.push_back(slot.row);
    }
    if (!slot.marked) offer({Button::kPlay, {slot.row}, std::nullopt, false});
  }
  // One fight of several cards, a handful drawn at random.
  if (fighters.size() >= 2) {
    offer({Button::kPlay, Pick(fighters, 2 + Below(fighters.size() - 1)), std::nullopt, false});
  }
  // Revival: a cleric with one of this turn's wounded.
  for (const Slot& slot : hand) {
    if (slot.marked || slot.info->kind != 'C') continue;
    for (const size_t wounded : marked) {
      std::vector<size_t> rows{slot.row, wounded};
      std::sort(rows.begin(), rows.end());
      offer({Button::kPlay, rows, std::nullopt, false});
    }
  }
  const size_t pick = Below(options.size() + 1);
  if (pick == options.size()) return std::nullopt;
  lastPlayKey_ = Key(room, options[pick]);
  return options[pick];
}

std::optional<Click> RandomPlanner::Discard(const GameRoom& room, const party_t& own) {
  std::vector<size_t> unmarked;
  for (const Slot& slot : Hand(room, own)) {
    if (!slot.marked) unmarked.push_back(slot.row);
  }
  constexpr size_t kKept = 7;
  if (unmarked.size() <= kKept) return std::nullopt;
  return Click{Button::kPile, Pick(unmarked, unmarked.size() - kKept), std::nullopt, false};
}

std::optional<Click> RandomPlanner::TrapDiscard(const GameRoom& room, const party_t& own) {
  const std::vector<Slot> hand = Hand(room, own);
  if (hand.empty()) return std::nullopt;
  std::vector<size_t> rows;
  std::vector<size_t> thieves;
  for (const Slot& slot : hand) {
    rows.push_back(slot.row);
    if (slot.info->kind == 'T') thieves.push_back(slot.row);
  }
  if (rows.size() < 3) return Click{Button::kPile, rows, std::nullopt, false};
  // A thief alone, or any three cards: each way is as likely.
  if (!thieves.empty() && Below(2) == 0) {
    return Click{Button::kPile, {thieves[Below(thieves.size())]}, std::nullopt, false};
  }
  return Click{Button::kPile, Pick(rows, 3), std::nullopt, false};
}

}  // namespace gorvane::bot
