// SPDX-License-Identifier: GPL-3.0-or-later
#include "bot/turn_planner.h"

#include <algorithm>

#include "rules/play_rules.h"
#include "spine/codec.h"
#include "spine/fields.h"

namespace gorvane::bot {
namespace {

// Clicks of the play button in one turn, refusals included: a planner that
// keeps finding plays the server will not take still ends its turn.
constexpr int kMaxPlayClicks = 12;
// Corridor cards per turn: the rules allow any number; two keep a game long
// enough for the monsters to matter.
constexpr int kCorridorsPerTurn = 2;
constexpr int kMonstersPerTurn = 1;
// How far above the monster's strength a fight aims, on average dice.
constexpr double kFightMargin = 1.0;
constexpr size_t kKeptHand = 7;

bool IsOneOf(char kind, std::string_view letters) {
  return kind != 0 && letters.find(kind) != std::string_view::npos;
}

std::string_view KindOf(std::string_view message) { return message.substr(0, message.find_first_of(", ")); }

double Strength(const card_t& card) { return card.value + 3.5 * std::max(card.dice, 0); }

bool HumanoidOnly(int32_t card) { return card == kSleepCard || card == kCharmCard; }

}  // namespace

void PressClick(GameRoom& room, const Click& click) {
  for (size_t row = 0; row < room.screen().handList.size(); ++row) room.HandListSelect(row, false);
  for (const size_t row : click.handRows) room.HandListSelect(row, true);
  room.MemberListSelect(click.memberRow);
  room.CharmBoxSelect(0, click.charmBox);
  switch (click.button) {
    case Button::kDraw:
      room.Button1Click();
      break;
    case Button::kPlay:
      room.Button3Click();
      break;
    case Button::kPile:
      room.Button4Click();
      break;
    case Button::kTurnEnd:
      room.Button2Click();
      break;
  }
}

void TurnPlanner::Observe(std::string_view message, const GameRoom& room, int32_t myId) {
  const std::string_view kind = KindOf(message);
  if (kind == "S_READY") {
    turn_ = Turn();
  } else if (kind == "S_PLAYED") {
    const PlayKind played = room.state().playKind;
    ++counts_.accepted[played];
    if (played == PlayKind::ClericRevive || played == PlayKind::ReviveUsed) turn_.revived = true;
    if (played == PlayKind::Corridor) ++turn_.corridors;
    if (played == PlayKind::SendMonster) ++turn_.monstersSent;
  } else if (kind == "S_UNPLAYED") {
    ++counts_.unplayed;
    if (lastPlayKey_) turn_.refused.insert(*lastPlayKey_);
  } else if (kind == "S_PILED" || kind == "S_FPILE") {
    const Fields fields = SplitCommaText(message);
    if (kind == "S_FPILE" && fields.size() > 1 && ParseInt32(fields[1]).value_or(1) != 0) {
      ++counts_.refusedDiscards;
      ++turn_.refusedPiles;
    } else if (room.state().trapPending) {
      ++counts_.trapDiscards;
    } else {
      ++counts_.handDiscards;
    }
  } else if (kind == "S_REACHED") {
    out_.insert(myId);
  } else if (kind == "S_OREACHED") {
    const Fields fields = SplitCommaText(message);
    if (fields.size() > 1) {
      if (const auto id = ParseInt32(fields[1])) out_.insert(*id);
    }
  } else if (kind == "S_FIRSTHAND" || kind == "S_RESULT" || kind == "S_QUITGAME") {
    out_.clear();
    turn_ = Turn();
  }
}

std::optional<Click> TurnPlanner::Next(const GameRoom& room, int32_t myId) {
  const GameState& state = room.state();
  const GameScreen& screen = room.screen();
  const party_t* own = room.roster().Find(myId);
  if (!state.gameRunning || own == nullptr) return std::nullopt;
  if (screen.drawEnabled) return Click{Button::kDraw, {}, std::nullopt, false};
  // A trap is paid for before anything else; then only the turn end is left.
  if (state.trapPending && screen.pileEnabled) return TrapDiscard(room, *own);
  if (screen.playEnabled && turn_.clicks < kMaxPlayClicks) {
    if (auto play = ChoosePlay(room, *own, myId)) return play;
  }
  if (screen.pileEnabled && turn_.refusedPiles == 0) {
    if (auto discard = Discard(room, *own)) return discard;
  }
  if (screen.turnEndEnabled) return Click{Button::kTurnEnd, {}, std::nullopt, false};
  return std::nullopt;
}

void TurnPlanner::Clicked(const Click& click, bool sent) {
  if (click.button == Button::kPlay) {
    ++turn_.clicks;
    if (!sent && lastPlayKey_) turn_.refused.insert(*lastPlayKey_);
  }
  // A discard the client itself refuses would be refused again.
  if (click.button == Button::kPile && !sent) ++turn_.refusedPiles;
}

std::vector<TurnPlanner::Slot> TurnPlanner::Hand(const GameRoom& room, const party_t& own) const {
  std::vector<Slot> hand;
  const size_t count =
      static_cast<size_t>(std::clamp<int32_t>(own.handCount, 0, static_cast<int32_t>(kHandSlots)));
  for (size_t row = 0; row < count; ++row) {
    const int32_t card = room.state().handCards[row];
    hand.push_back({row, card, &cards_.Card(card), room.state().usedMarks[row]});
  }
  return hand;
}

std::optional<Click> TurnPlanner::ChoosePlay(const GameRoom& room, const party_t& own, int32_t myId) {
  const std::vector<Slot> hand = Hand(room, own);
  auto attempt = [&](const Click& click) { return Try(room, myId, click); };
  auto slotsOf = [&](std::string_view kinds) {
    std::vector<Slot> found;
    for (const Slot& slot : hand) {
      if (!slot.marked && IsOneOf(slot.info->kind, kinds)) found.push_back(slot);
    }
    return found;
  };

  // A charmed monster is lost at the turn end: send it on first.
  if (room.screen().charmBox.size() > 0 && room.state().charmedMonster != -1) {
    for (const size_t target : MonsterTargets(room, myId)) {
      if (auto click = attempt({Button::kPlay, {}, target, true})) return click;
    }
  }

  if (own.monster != -1) {
    if (room.state().playKind == PlayKind::Fight && !turn_.revived) {
      if (auto click = Revive(room, hand, myId)) return click;
    }
    if (auto click = Fight(room, hand, own, myId, true)) return click;
    // A fight that is likely lost: walk round it or have it repelled.
    for (const Slot& slot : slotsOf("P")) {
      if (auto click = attempt({Button::kPlay, {slot.row}, std::nullopt, false})) return click;
    }
    for (const Slot& slot : slotsOf("C")) {
      if (auto click = attempt({Button::kPlay, {slot.row}, std::nullopt, false})) return click;
    }
    return Fight(room, hand, own, myId, false);
  }

  if (turn_.monstersSent < kMonstersPerTurn) {
    std::vector<Slot> monsters = slotsOf("HUW");
    std::stable_sort(monsters.begin(), monsters.end(),
                     [](const Slot& a, const Slot& b) { return a.info->value > b.info->value; });
    const std::vector<size_t> targets = MonsterTargets(room, myId);
    for (const Slot& slot : monsters) {
      for (const size_t target : targets) {
        if (auto click = attempt({Button::kPlay, {slot.row}, target, false})) return click;
      }
    }
  }
  if (turn_.corridors < kCorridorsPerTurn) {
    std::vector<Slot> corridors = slotsOf("L");
    std::stable_sort(corridors.begin(), corridors.end(),
                     [](const Slot& a, const Slot& b) { return a.info->value > b.info->value; });
    for (const Slot& slot : corridors) {
      if (auto click = attempt({Button::kPlay, {slot.row}, std::nullopt, false})) return click;
    }
  }
  return std::nullopt;
}

std::optional<Click> TurnPlanner::Fight(const GameRoom& room, const std::vector<Slot>& hand,
                                        const party_t& own, int32_t myId, bool onlyWhenLikely) {
  const card_t& monster = cards_.Card(own.monster);
  const bool humanoid = monster.kind == 'H';
  double expected = 0;
  for (const Slot& slot : hand) {
    if (slot.marked) expected += slot.info->value;  // spent this turn, still counts
  }
  std::vector<Slot> fighters;
  std::vector<Slot> spells;
  bool caster = false;
  for (const Slot& slot : hand) {
    const char kind = slot.info->kind;
    if (slot.marked || kind == 0 || IsOneOf(kind, "LPCUHW")) continue;
    if (HumanoidOnly(slot.card) && !humanoid) continue;
    (kind == 'S' ? spells : fighters).push_back(slot);
    caster = caster || kind == 'E' || kind == 'M';
  }
  auto stronger = [](const Slot& a, const Slot& b) { return Strength(*a.info) > Strength(*b.info); };
  std::stable_sort(fighters.begin(), fighters.end(), stronger);
  std::stable_sort(spells.begin(), spells.end(), stronger);

  std::vector<Slot> chosen;
  auto take = [&](const Slot& slot) {
    chosen.push_back(slot);
    expected += Strength(*slot.info);
  };
  // The charm wins the monster as well as the fight; it needs a caster.
  const auto charm =
      std::find_if(spells.begin(), spells.end(), [](const Slot& s) { return s.card == kCharmCard; });
  const auto firstCaster = std::find_if(fighters.begin(), fighters.end(),
                                        [](const Slot& s) { return IsOneOf(s.info->kind, "EM"); });
  if (humanoid && charm != spells.end() && firstCaster != fighters.end()) {
    take(*charm);
    take(*firstCaster);
    spells.erase(charm);
    fighters.erase(firstCaster);
  }
  // Spells come last, and only beside a caster.
  std::vector<Slot> pool = fighters;
  if (caster) pool.insert(pool.end(), spells.begin(), spells.end());
  for (const Slot& slot : pool) {
    if (!chosen.empty() && expected >= monster.value + kFightMargin) break;
    take(slot);
  }
  if (chosen.empty() || (onlyWhenLikely && expected < monster.value + kFightMargin)) return std::nullopt;

  Click click{Button::kPlay, {}, std::nullopt, false};
  for (const Slot& slot : chosen) click.handRows.push_back(slot.row);
  std::sort(click.handRows.begin(), click.handRows.end());
  return Try(room, myId, click);
}

std::optional<Click> TurnPlanner::Revive(const GameRoom& room, const std::vector<Slot>& hand, int32_t myId) {
  std::vector<size_t> clerics;
  std::vector<size_t> wounded;
  for (const Slot& slot : hand) {
    if (!slot.marked && slot.info->kind == 'C') clerics.push_back(slot.row);
    if (slot.marked && IsOneOf(slot.info->kind, "DEFMT")) wounded.push_back(slot.row);
  }
  if (clerics.empty() || wounded.empty()) return std::nullopt;
  std::vector<Click> tries;
  // A cleric above the wounded brings them all back; a wounded card above a
  // cleric brings back that one.
  Click all{Button::kPlay, {clerics.front()}, std::nullopt, false};
  for (const size_t row : wounded) {
    if (row > clerics.front()) all.handRows.push_back(row);
  }
  if (all.handRows.size() > 1) tries.push_back(all);
  for (const size_t cleric : clerics) {
    if (wounded.front() < cleric)
      tries.push_back({Button::kPlay, {wounded.front(), cleric}, std::nullopt, false});
  }
  for (const Click& click : tries) {
    if (auto chosen = Try(room, myId, click)) return chosen;
  }
  return std::nullopt;
}

std::optional<Click> TurnPlanner::Try(const GameRoom& room, int32_t myId, const Click& click) {
  std::string key = Key(room, click);
  if (turn_.refused.count(key) != 0 || !Passes(room, myId, click)) return std::nullopt;
  lastPlayKey_ = std::move(key);
  return click;
}

std::vector<size_t> TurnPlanner::MonsterTargets(const GameRoom& room, int32_t myId) const {
  std::vector<std::pair<int32_t, size_t>> ranked;
  const auto& members = room.roster().members;
  for (size_t row = 0; row < members.size(); ++row) {
    const party_t& member = members[row];
    if (member.id == myId || member.monster != -1 || out_.count(member.id) != 0) continue;
    // The member nearest to getting out with the treasure is the one to stop.
    const int32_t progress = member.returning ? 1000 - member.distance : member.distance;
    ranked.emplace_back(progress, row);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<size_t> rows;
  for (const auto& entry : ranked) rows.push_back(entry.second);
  return rows;
}

bool TurnPlanner::Passes(const GameRoom& room, int32_t myId, const Click& click) const {
  const GameState& state = room.state();
  const party_t* own = room.roster().Find(myId);
  if (own == nullptr) return false;
  PlayContext context;
  for (const Slot& slot : Hand(room, *own)) context.hand.push_back({slot.card, slot.info->kind});
  context.selectedRows = click.handRows;
  context.myId = myId;
  context.monster = own->monster;
  context.monsterKind = cards_.Card(own->monster).kind;
  context.corridorRows = room.screen().corridorList.size();
  context.charmBoxSelected = click.charmBox && room.screen().charmBox.size() > 0;
  context.charmedMonster = state.charmedMonster;
  for (const party_t& member : room.roster().members) context.memberIds.push_back(member.id);
  context.selectedMember = click.memberRow;
  PlayState play{state.playKind, state.savedPlayKind, state.usedMarks, state.savedMarks, state.charmCast};
  const PlayOutcome outcome = DecidePlay(context, play);
  if (!outcome.command || !outcome.target) return false;

  // Exactly the selection, nothing left out: what the server asks for too.
  std::string whole = std::to_string(*outcome.target);
  if (context.charmBoxSelected) {
    whole += " " + std::to_string(state.charmedMonster);
  } else {
    for (const size_t row : click.handRows) whole += " " + std::to_string(context.hand[row].card);
  }
  if (*outcome.command != whole) return false;

  const PlayKind kind = play.playKind;
  if (kind == PlayKind::SendMonster || kind == PlayKind::SendCharmed) {
    const party_t* target = room.roster().Find(*outcome.target);
    return target != nullptr && target->monster == -1 && out_.count(target->id) == 0;
  }
  if (kind == PlayKind::ClericRevive || kind == PlayKind::ReviveUsed) return !turn_.revived;
  if (kind == PlayKind::Fight) {
    bool spell = false;
    bool caster = false;
    for (const size_t row : click.handRows) {
      const char cardKind = context.hand[row].kind;
      spell = spell || cardKind == 'S';
      caster = caster || cardKind == 'E' || cardKind == 'M';
      if (HumanoidOnly(context.hand[row].card) && context.monsterKind != 'H') return false;
    }
    return !spell || caster;
  }
  return true;
}

std::string TurnPlanner::Key(const GameRoom& room, const Click& click) const {
  const GameState& state = room.state();
  std::string key = std::to_string(static_cast<int>(state.playKind)) + ":";
  for (const size_t row : click.handRows) {
    key += std::to_string(row < kHandSlots ? state.handCards[row] : 0);
    key += row < kHandSlots && state.usedMarks[row] ? "u " : " ";
  }
  if (click.memberRow) key += ">" + std::to_string(*click.memberRow);
  if (click.charmBox) key += "c" + std::to_string(state.charmedMonster);
  return key;
}

std::optional<Click> TurnPlanner::Discard(const GameRoom& room, const party_t& own) {
  std::vector<Slot> unmarked;
  for (const Slot& slot : Hand(room, own)) {
    if (!slot.marked) unmarked.push_back(slot);
  }
  if (unmarked.size() <= kKeptHand) return std::nullopt;
  std::stable_sort(unmarked.begin(), unmarked.end(),
                   [this](const Slot& a, const Slot& b) { return KeepScore(a) < KeepScore(b); });
  Click click{Button::kPile, {}, std::nullopt, false};
  for (size_t i = 0; i < unmarked.size() - kKeptHand; ++i) click.handRows.push_back(unmarked[i].row);
  std::sort(click.handRows.begin(), click.handRows.end());
  return click;
}

std::optional<Click> TurnPlanner::TrapDiscard(const GameRoom& room, const party_t& own) {
  std::vector<Slot> hand = Hand(room, own);
  // An empty hand owes nothing: the server ends the turn itself.
  if (hand.empty()) return std::nullopt;
  Click click{Button::kPile, {}, std::nullopt, false};
  std::stable_sort(hand.begin(), hand.end(),
                   [this](const Slot& a, const Slot& b) { return KeepScore(a) < KeepScore(b); });
  const auto thief =
      std::find_if(hand.begin(), hand.end(), [](const Slot& s) { return s.info->kind == 'T'; });
  if (hand.size() < 3) {
    for (const Slot& slot : hand) click.handRows.push_back(slot.row);
  } else if (thief != hand.end()) {
    click.handRows.push_back(thief->row);
  } else {
    for (size_t i = 0; i < 3; ++i) click.handRows.push_back(hand[i].row);
  }
  std::sort(click.handRows.begin(), click.handRows.end());
  return click;
}

double TurnPlanner::KeepScore(const Slot& slot) const {
  const card_t& card = *slot.info;
  switch (card.kind) {
    case 'L':
      return 60 + card.value;
    case 'C':
      return 45;
    case 'P':
      return 40;
    case 'H':
    case 'U':
    case 'W':
      return 10 + card.value / 2.0;
    case 'S':
      return (slot.card == kCharmCard ? 35 : 15) + Strength(card);
    case 0:
      return 0;
    default:
      return 20 + Strength(card);
  }
}

}  // namespace gorvane::bot
