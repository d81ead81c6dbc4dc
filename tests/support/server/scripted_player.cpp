// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/server/scripted_player.h"

#include <algorithm>
#include <numeric>

#include "spine/codec.h"
#include "spine/fields.h"

namespace gorvane::testing {
namespace {

int32_t ToInt(const std::string& text) { return ParseInt32(text).value_or(0); }

bool IsOneOf(char kind, std::string_view kinds) {
  return kind != 0 && kinds.find(kind) != std::string_view::npos;
}

}  // namespace

ScriptedPlayer::ScriptedPlayer(const CardCatalogue& cards, int32_t myId, std::vector<int32_t> members)
    : cards_(&cards), myId_(myId), members_(std::move(members)) {
  std::sort(members_.begin(), members_.end());
}

int32_t ScriptedPlayer::HandCountOf(int32_t member) const {
  const auto found = handCounts_.find(member);
  return found == handCounts_.end() ? 0 : found->second;
}

void ScriptedPlayer::Receive(std::string_view message) {
  const Fields fields = SplitCommaText(message);
  if (fields.empty()) return;
  const std::string& kind = fields[0];
  auto number = [&](size_t i) { return i < fields.size() ? ToInt(fields[i]) : 0; };
  std::vector<int32_t> rest;
  auto restFrom = [&](size_t i) {
    rest.clear();
    for (; i < fields.size(); ++i) rest.push_back(ToInt(fields[i]));
    return rest;
  };
  if (kind == "S_FIRSTHAND") {
    *this = ScriptedPlayer(*cards_, myId_, members_);
    hand_ = restFrom(2);
    for (const int32_t member : members_) handCounts_[member] = 7;
  } else if (kind == "S_READY") {
    myTurn_ = true;
    drew_ = trap_ = piled_ = wentOut_ = false;
    pending_ = Pending::kNone;
    charmed_ = -1;
    tried_.clear();
  } else if (kind == "S_OTURN") {
    myTurn_ = false;
  } else if (kind == "S_DREW" || kind == "S_FDREW") {
    pending_ = Pending::kNone;
    drew_ = true;
    state_.playKind = PlayKind::NoPlay;
    if (kind == "S_DREW") {
      const int32_t card = number(1);
      if (cards_->Card(card).kind == 'O') {
        trap_ = true;
      } else {
        hand_.push_back(card);
      }
    }
  } else if (kind == "S_PLAYED") {
    Played(restFrom(1));
  } else if (kind == "S_UNPLAYED") {
    pending_ = Pending::kNone;
    state_.playKind = state_.savedPlayKind;
    state_.usedMarks = state_.savedMarks;
    ++refusals_;
  } else if (kind == "S_PILED") {
    pending_ = Pending::kNone;
    piled_ = true;
    trap_ = false;
  } else if (kind == "S_FPILE") {
    pending_ = Pending::kNone;
    state_.usedMarks = state_.savedMarks;
    piled_ = true;  // not tried again this turn
    ++refusals_;
  } else if (kind == "S_TURNEND") {
    if (number(1) == myId_) TurnEnded();
  } else if (kind == "S_ODREW") {
    ++handCounts_[number(1)];
  } else if (kind == "S_OPEN") {
    --handCounts_[number(1)];
  } else if (kind == "S_OPLAY") {
    const int32_t player = number(1);
    const int32_t target = number(2);
    const std::vector<int32_t> cards = restFrom(3);
    if (target != player) {
      // A monster once attached never comes back to a hand: sending it on
      // costs the sender nothing.
      const bool charmed = std::find(attached_[player].begin(), attached_[player].end(), cards.front()) !=
                           attached_[player].end();
      if (!charmed) --handCounts_[player];
      monsters_[target] = cards.front();
      attached_[target].push_back(cards.front());
      if (target == myId_) monster_ = cards.front();
    } else {
      const bool revival = cards.size() > 1 && std::any_of(cards.begin(), cards.end(), [&](int32_t card) {
                             return cards_->Card(card).kind == 'C';
                           });
      handCounts_[player] +=
          revival ? static_cast<int32_t>(cards.size()) - 2 : -static_cast<int32_t>(cards.size());
      if (cards.size() == 1 && IsOneOf(cards_->Card(cards.front()).kind, "CP")) monsters_[player] = -1;
    }
  } else if (kind == "S_OPILE") {
    handCounts_[number(1)] -= static_cast<int32_t>(fields.size()) - 2;
  } else if (kind == "S_TREASURE") {
    atTreasure_ = true;
    treasure_ = number(1);
  } else if (kind == "S_REACHED") {
    out_ = wentOut_ = true;
  } else if (kind == "S_OREACHED") {
    outMembers_.insert(number(1));
  } else if (kind == "S_RESULT") {
    result_ = std::string(message);
    myTurn_ = false;
  } else if (kind == "S_QUITGAME") {
    myTurn_ = false;
  }
}

void ScriptedPlayer::Played(const std::vector<int32_t>& dice) {
  pending_ = Pending::kNone;
  const int32_t first = lastCards_.empty() ? 0 : lastCards_.front();
  switch (state_.playKind) {
    case PlayKind::Corridor: {
      const int32_t value = cards_->Card(first).value;
      corridor_.push_back(value);
      distance_ += returning_ ? -value : value;
      break;
    }
    case PlayKind::SendMonster:
    case PlayKind::SendCharmed:
      monsters_[*lastTarget_] = first;
      attached_[*lastTarget_].push_back(first);
      if (state_.playKind == PlayKind::SendCharmed) charmed_ = -1;
      break;
    case PlayKind::Detour:
      distance_ += returning_ ? corridor_.back() : -corridor_.back();
      corridor_.pop_back();
      monster_ = -1;
      break;
    case PlayKind::ClericRepel:
      monster_ = -1;
      break;
    case PlayKind::Fight: {
      int32_t total = std::accumulate(dice.begin(), dice.end(), 0);
      for (size_t slot = 0; slot < hand_.size(); ++slot) {
        if (state_.usedMarks[slot]) total += cards_->Card(hand_[slot]).value;
      }
      if (total >= cards_->Card(monster_).value) {
        // As on the player's screen: card 58 in any play sent this turn.
        if (state_.charmCast) charmed_ = monster_;
        monster_ = -1;
      }
      break;
    }
    default:
      break;
  }
  if (atTreasure_) {
    atTreasure_ = false;
    returning_ = true;
    corridor_.clear();
  }
}

void ScriptedPlayer::TurnEnded() {
  std::vector<int32_t> kept;
  for (size_t slot = 0; slot < hand_.size(); ++slot) {
    if (!state_.usedMarks[slot]) kept.push_back(hand_[slot]);
  }
  hand_ = std::move(kept);
  state_.usedMarks = {};
  state_.savedMarks = {};
  myTurn_ = false;
  pending_ = Pending::kNone;
  charmed_ = -1;
  state_.charmCast = false;
}

std::vector<size_t> ScriptedPlayer::Rows(std::string_view kinds, bool marked) const {
  std::vector<size_t> rows;
  for (size_t slot = 0; slot < hand_.size() && slot < kHandSlots; ++slot) {
    if (state_.usedMarks[slot] == marked && IsOneOf(cards_->Card(hand_[slot]).kind, kinds))
      rows.push_back(slot);
  }
  return rows;
}

std::optional<Move> ScriptedPlayer::NextMove() {
  if (!myTurn_ || pending_ != Pending::kNone) return std::nullopt;
  if (!drew_) {
    pending_ = Pending::kDraw;
    return Move{"P_DROW", "*"};
  }
  if (trap_ || (!piled_ && !wentOut_)) {
    if (!trap_) {
      if (auto play = TryPlay()) return play;
    }
    if (auto discard = Discard()) return discard;
  }
  pending_ = Pending::kTurnEnd;
  return Move{"P_TURNEND", "*"};
}

std::optional<Move> ScriptedPlayer::Send(std::vector<size_t> rows, std::optional<int32_t> target) {
  PlayContext context;
  for (const int32_t card : hand_) context.hand.push_back({card, cards_->Card(card).kind});
  context.selectedRows = std::move(rows);
  context.myId = myId_;
  context.monster = monster_;
  context.monsterKind = monster_ == -1 ? 0 : cards_->Card(monster_).kind;
  context.corridorRows = corridor_.size();
  context.charmBoxSelected = target && charmed_ != -1 && context.selectedRows.empty();
  context.charmedMonster = charmed_;
  context.memberIds = members_;
  if (target) {
    const auto at = std::find(members_.begin(), members_.end(), *target);
    if (at != members_.end()) context.selectedMember = static_cast<size_t>(at - members_.begin());
  }
  const PlayOutcome outcome = DecidePlay(context, state_);
  if (!outcome.command) return std::nullopt;
  const Fields parts = SplitDelimitedText(*outcome.command, ' ');
  lastTarget_ = ToInt(parts.front());
  lastCards_.clear();
  for (size_t i = 1; i < parts.size(); ++i) lastCards_.push_back(ToInt(parts[i]));
  pending_ = Pending::kPlay;
  return Move{"P_PLAY", *outcome.command};
}

std::optional<Move> ScriptedPlayer::TryPlay() {
  // Each idea once per turn; a refusal moves on to the next.
  auto attempt = [&](const std::string& key) { return tried_.insert(key).second; };
  std::optional<int32_t> freeMember;
  for (const int32_t member : members_) {
    const auto carried = monsters_.find(member);
    const bool carries = carried != monsters_.end() && carried->second != -1;
    if (member != myId_ && !outMembers_.count(member) && !carries &&
        !tried_.count("to" + std::to_string(member))) {
      freeMember = member;
      break;
    }
  }
  if (charmed_ != -1 && freeMember && attempt("charm")) {
    tried_.insert("to" + std::to_string(*freeMember));
    if (auto move = Send({}, freeMember)) return move;
  }
  if (monster_ != -1) {
    // Fight, revive the fallen and fight again; a cleric or a detour last.
    auto fight = [&]() -> std::optional<Move> {
      std::vector<size_t> rows = Rows("DEFMT", false);
      const bool caster = !Rows("EM", false).empty();
      for (const size_t row : Rows("S", false)) {
        const bool humanoidOnly = hand_[row] == kSleepCard || hand_[row] == kCharmCard;
        if (caster && (!humanoidOnly || cards_->Card(monster_).kind == 'H')) rows.push_back(row);
      }
      std::sort(rows.begin(), rows.end());
      if (rows.empty()) return std::nullopt;
      return Send(rows, std::nullopt);
    };
    if (attempt("fight" + std::to_string(monster_))) {
      if (auto move = fight()) return move;
    }
    if (state_.playKind == PlayKind::Fight && attempt("revive")) {
      const auto clerics = Rows("C", false);
      std::vector<size_t> rows = Rows("DEFMT", true);
      if (!clerics.empty() && !rows.empty()) {
        rows.insert(rows.begin(), clerics.front());
        std::sort(rows.begin(), rows.end());
        if (auto move = Send(rows, std::nullopt)) return move;
      }
    }
    if (attempt("again" + std::to_string(monster_))) {
      if (auto move = fight()) return move;
    }
    const auto clerics = Rows("C", false);
    if (!clerics.empty() && attempt("repel")) {
      if (auto move = Send({clerics.front()}, std::nullopt)) return move;
    }
    const auto detours = Rows("P", false);
    if (!detours.empty() && attempt("detour")) {
      if (auto move = Send({detours.front()}, std::nullopt)) return move;
    }
  }
  if (monster_ == -1) {
    for (const size_t row : Rows("L", false)) {
      if (tried_.count("corridor2")) break;
      if (attempt("corridor" + std::to_string(hand_[row]))) {
        if (!attempt("corridor1")) tried_.insert("corridor2");
        if (auto move = Send({row}, std::nullopt)) return move;
      }
    }
  }
  const auto monsters = Rows("HUW", false);
  if (!monsters.empty() && freeMember && attempt("monster")) {
    tried_.insert("to" + std::to_string(*freeMember));
    if (auto move = Send({monsters.front()}, freeMember)) return move;
  }
  return std::nullopt;
}

std::optional<Move> ScriptedPlayer::Discard() {
  DiscardContext context;
  for (const int32_t card : hand_) context.hand.push_back({card, cards_->Card(card).kind});
  context.trapPending = trap_;
  if (trap_) {
    const auto thieves = Rows("T", false);
    if (hand_.size() < 3) {
      for (size_t row = 0; row < hand_.size(); ++row) context.selectedRows.push_back(row);
    } else if (!thieves.empty()) {
      context.selectedRows = {thieves.front()};
    } else {
      context.selectedRows = {0, 1, 2};
    }
  } else {
    std::vector<size_t> unused;
    for (size_t row = 0; row < hand_.size(); ++row) {
      if (!state_.usedMarks[row]) unused.push_back(row);
    }
    if (unused.size() <= 7) return std::nullopt;
    context.selectedRows.assign(unused.begin() + 7, unused.end());
  }
  const DiscardOutcome outcome = DecideDiscard(context, state_.usedMarks, state_.savedMarks);
  if (!outcome.command) return std::nullopt;
  pending_ = Pending::kPile;
  return Move{"P_PILE", *outcome.command};
}

}  // namespace gorvane::testing
