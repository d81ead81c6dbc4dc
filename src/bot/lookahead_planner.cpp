// SPDX-License-Identifier: GPL-3.0-or-later
#include "bot/lookahead_planner.h"

#include <algorithm>
#include <string_view>

namespace gorvane::bot {
namespace {

// The distance of the treasure room, as the server counts it.
constexpr int32_t kTreasureRoom = 100;
// Subsets of more corridor cards than this are not searched; the largest
// then go first, which is nearly as good with so many in hand.
constexpr size_t kSearchedCorridors = 12;

bool IsOneOf(char kind, std::string_view letters) {
  return kind != 0 && letters.find(kind) != std::string_view::npos;
}

}  // namespace

std::optional<TurnPlanner::Slot> LookaheadPlanner::NextCorridorIn(const std::vector<Slot>& corridors,
                                                                  int32_t distance) const {
  if (corridors.empty()) return std::nullopt;
  const int32_t need = kTreasureRoom - distance;
  std::vector<Slot> byValue = corridors;
  std::stable_sort(byValue.begin(), byValue.end(),
                   [](const Slot& a, const Slot& b) { return a.info->value > b.info->value; });
  if (byValue.size() > kSearchedCorridors) return byValue.front();
  std::optional<uint32_t> best;
  int32_t bestSum = 0;
  for (uint32_t set = 1; set < (1u << byValue.size()); ++set) {
    int32_t sum = 0;
    for (size_t i = 0; i < byValue.size(); ++i) {
      if (set & (1u << i)) sum += byValue[i].info->value;
    }
    // Fewer cards for the same sum keep more for the way back.
    if (sum >= need &&
        (!best || sum < bestSum || (sum == bestSum && __builtin_popcount(set) < __builtin_popcount(*best)))) {
      best = set;
      bestSum = sum;
    }
  }
  // Out of reach this turn: every card laid now is distance walked.
  if (!best) return byValue.front();
  for (size_t i = 0; i < byValue.size(); ++i) {
    if (*best & (1u << i)) return byValue[i];
  }
  return std::nullopt;
}

std::optional<Click> LookaheadPlanner::SendMonster(const GameRoom& room, const std::vector<Slot>& monsters,
                                                   int32_t myId) {
  std::vector<Slot> strongest = monsters;
  std::stable_sort(strongest.begin(), strongest.end(),
                   [](const Slot& a, const Slot& b) { return a.info->value > b.info->value; });
  for (const size_t target : MonsterTargets(room, myId)) {
    for (const Slot& slot : strongest) {
      if (auto click = Try(room, myId, {Button::kPlay, {slot.row}, target, false})) return click;
    }
  }
  return std::nullopt;
}

std::optional<Click> LookaheadPlanner::ChoosePlay(const GameRoom& room, const party_t& own, int32_t myId) {
  const std::vector<Slot> hand = Hand(room, own);
  auto slotsOf = [&](std::string_view kinds) {
    std::vector<Slot> found;
    for (const Slot& slot : hand) {
      if (!slot.marked && IsOneOf(slot.info->kind, kinds)) found.push_back(slot);
    }
    return found;
  };
  auto single = [&](const Slot& slot) {
    return Try(room, myId, {Button::kPlay, {slot.row}, std::nullopt, false});
  };

  if (room.screen().charmBox.size() > 0 && room.state().charmedMonster != -1) {
    for (const size_t target : MonsterTargets(room, myId)) {
      if (auto click = Try(room, myId, {Button::kPlay, {}, target, true})) return click;
    }
  }
  if (own.monster != -1) {
    if (room.state().playKind == PlayKind::Fight && !turn_.revived) {
      if (auto click = Revive(room, hand, myId)) return click;
    }
    if (auto click = Fight(room, hand, own, myId, true)) return click;
    // A cleric costs no distance; a detour gives a corridor card back. Right
    // after a fight a cleric alone revives nothing and the monster stays.
    if (room.state().playKind != PlayKind::Fight) {
      for (const Slot& slot : slotsOf("C")) {
        if (auto click = single(slot)) return click;
      }
    }
    for (const Slot& slot : slotsOf("P")) {
      if (auto click = single(slot)) return click;
    }
    return Fight(room, hand, own, myId, false);
  }

  std::vector<Slot> monsters = slotsOf("HUW");
  std::vector<Slot> corridors = slotsOf("L");
  std::stable_sort(corridors.begin(), corridors.end(),
                   [](const Slot& a, const Slot& b) { return a.info->value > b.info->value; });
  if (own.atTreasure) {
    // Whatever is played first turns back; a monster sent costs nothing,
    // a corridor card is walked in before the way back begins.
    if (auto click = SendMonster(room, monsters, myId)) return click;
    for (auto slot = corridors.rbegin(); slot != corridors.rend(); ++slot) {
      if (auto click = single(*slot)) return click;
    }
    return std::nullopt;
  }
  // On the way in the last monster card is kept for that turn back.
  if (own.returning || monsters.size() > 1) {
    if (auto click = SendMonster(room, monsters, myId)) return click;
  }
  if (own.returning) {
    for (const Slot& slot : corridors) {
      if (auto click = single(slot)) return click;
    }
    return std::nullopt;
  }
  std::vector<Slot> left = corridors;
  while (const auto next = NextCorridorIn(left, own.distance)) {
    if (auto click = single(*next)) return click;
    left.erase(std::find_if(left.begin(), left.end(), [&](const Slot& s) { return s.row == next->row; }));
  }
  return std::nullopt;
}

std::vector<size_t> LookaheadPlanner::MonsterTargets(const GameRoom& room, int32_t myId) const {
  std::vector<std::pair<int32_t, size_t>> ranked;
  const auto& members = room.roster().members;
  for (size_t row = 0; row < members.size(); ++row) {
    const party_t& member = members[row];
    if (member.id == myId || member.monster != -1 || out_.count(member.id) != 0) continue;
    // Treasure only counts once it is carried out: the one on the way back
    // with the most of it, nearest the exit, is the first to stop.
    int32_t threat = member.distance;
    if (member.atTreasure) threat = 2000 + member.treasure;
    if (member.returning) threat = 4000 + member.treasure - 10 * member.distance;
    ranked.emplace_back(threat, row);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<size_t> rows;
  for (const auto& entry : ranked) rows.push_back(entry.second);
  return rows;
}

double LookaheadPlanner::KeepScore(const Slot& slot) const {
  // A cleric is the one answer to a monster no fight beats; a monster card
  // is the free turn back in the treasure room.
  switch (slot.info->kind) {
    case 'C':
      return 58;
    case 'H':
    case 'U':
    case 'W':
      return 30 + slot.info->value / 2.0;
    case 'P':
      return 25;
    default:
      return TurnPlanner::KeepScore(slot);
  }
}

}  // namespace gorvane::bot
