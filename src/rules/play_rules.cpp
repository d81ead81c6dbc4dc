// SPDX-License-Identifier: GPL-3.0-or-later
#include "rules/play_rules.h"

#include <algorithm>
#include <string_view>

#include "spine/sjis.h"

namespace gorvane {
namespace {

bool IsOneOf(char kind, std::string_view letters) {
  return kind != 0 && letters.find(kind) != std::string_view::npos;
}

// Kinds that never fight: corridor, detour, cleric and the monsters.
constexpr std::string_view kNonFighters = "LPCUHW";
constexpr std::string_view kCharacters = "DEFMT";

bool HumanoidOnly(int32_t card) { return card == kSleepCard || card == kCharmCard; }

// The first selected card decides the kind of play.
bool FirstCard(const PlayContext& context, PlayState& state, char kind, bool marked) {
  const bool monsterAttached = context.monster != -1;
  if (marked) {
    state.playKind = PlayKind::ReviveUsed;
    return state.savedPlayKind == PlayKind::Fight && !IsOneOf(kind, "LPCUHWS");
  }
  if (kind == 'L') {
    state.playKind = PlayKind::Corridor;
    return !monsterAttached;
  }
  if (IsOneOf(kind, "HUW")) {
    state.playKind = PlayKind::SendMonster;
    return true;
  }
  if (kind == 'P') {
    state.playKind = PlayKind::Detour;
    return monsterAttached && context.corridorRows >= 1;
  }
  if (kind == 'C' && state.savedPlayKind == PlayKind::Fight) {
    state.playKind = PlayKind::ClericRevive;
    return true;
  }
  if (kind == 'C') {
    state.playKind = PlayKind::ClericRepel;
    return monsterAttached;
  }
  state.playKind = PlayKind::Fight;
  return monsterAttached;
}

// Every further card is judged by the kind of play the first one chose.
bool FurtherCard(const PlayContext& context, PlayKind playKind, bool ok, const HandSlot& slot, bool marked) {
  switch (playKind) {
    case PlayKind::Fight:
      if (marked) ok = false;
      if (IsOneOf(slot.kind, kNonFighters)) ok = false;
      // These two decide alone, whatever came before them.
      if (HumanoidOnly(slot.card)) ok = context.monster != -1 && context.monsterKind == 'H';
      return ok;
    case PlayKind::ClericRevive:
      return (marked && IsOneOf(slot.kind, kCharacters)) ? true : ok;
    case PlayKind::ReviveUsed:
      return slot.kind == 'C' && !marked;
    default:
      // Corridor, monster, detour and repel plays take one card; the charmed
      // monster takes none.
      return false;
  }
}

// The member a monster goes to, or the refusal line.
std::optional<int32_t> MonsterTarget(const PlayContext& context, std::optional<std::string>& refusal) {
  if (!context.selectedMember || *context.selectedMember >= context.memberIds.size()) {
    refusal = "SYS: モンスターを出す相手を選んでください．"_cp932;
    return std::nullopt;
  }
  const int32_t id = context.memberIds[*context.selectedMember];
  if (id == context.myId) {
    refusal = "SYS: 自分にモンスターは出せません．"_cp932;
    return std::nullopt;
  }
  return id;
}

}  // namespace

const char* PlayKindName(PlayKind kind) {
  switch (kind) {
    case PlayKind::Rejected:
      return "Rejected";
    case PlayKind::NoPlay:
      return "NoPlay";
    case PlayKind::Corridor:
      return "Corridor";
    case PlayKind::SendMonster:
      return "SendMonster";
    case PlayKind::Detour:
      return "Detour";
    case PlayKind::ClericRepel:
      return "ClericRepel";
    case PlayKind::Fight:
      return "Fight";
    case PlayKind::ClericRevive:
      return "ClericRevive";
    case PlayKind::ReviveUsed:
      return "ReviveUsed";
    case PlayKind::SendCharmed:
      return "SendCharmed";
  }
  return "?";
}

PlayOutcome DecidePlay(const PlayContext& context, PlayState& state) {
  PlayOutcome outcome;
  state.savedPlayKind = state.playKind;
  state.savedMarks = state.usedMarks;  // the working copy of the new marks
  // A charm-box row counts only while a charmed monster is held: the box can
  // still show the last game's monster, and -1 (or any number the server
  // gave that names no card) is no card to send.
  const bool sendCharmed = context.charmBoxSelected && IsCardNumber(context.charmedMonster);
  state.playKind = sendCharmed ? PlayKind::SendCharmed : PlayKind::NoPlay;

  bool ok = false;
  std::string cards;
  for (const size_t row : context.selectedRows) {
    if (row >= context.hand.size() || row >= kHandSlots) continue;
    const HandSlot& slot = context.hand[row];
    // A slot without a card (the server's number named none, or it never
    // dealt one) is never sent: the row counts as not selected.
    if (!IsCardNumber(slot.card)) continue;
    const bool marked = state.usedMarks[row];
    if (state.playKind == PlayKind::NoPlay) {
      ok = FirstCard(context, state, slot.kind, marked);
    } else {
      ok = FurtherCard(context, state.playKind, ok, slot, marked);
    }
    if (!ok) continue;
    cards += ' ';
    cards += std::to_string(slot.card);
    state.savedMarks[row] = !marked;
    if (slot.card == kCharmCard) state.charmCast = true;
  }

  if (ok && state.playKind == PlayKind::SendMonster) {
    outcome.target = MonsterTarget(context, outcome.refusal);
    if (!outcome.target) {
      ok = false;
      state.playKind = PlayKind::Rejected;
    }
  }
  if (ok) {
    const int32_t target = outcome.target.value_or(context.myId);
    outcome.target = target;
    outcome.command = std::to_string(target) + cards;
    std::swap(state.usedMarks, state.savedMarks);
    outcome.marksChanged = true;
    return outcome;
  }
  if (state.playKind == PlayKind::SendCharmed) {
    outcome.target = MonsterTarget(context, outcome.refusal);
    if (!outcome.target) {
      state.playKind = state.savedPlayKind;
      return outcome;
    }
    outcome.command = std::to_string(*outcome.target) + " " + std::to_string(context.charmedMonster);
    outcome.clearCharmBox = true;
    return outcome;
  }
  if (state.playKind != PlayKind::Rejected) {
    outcome.refusal = "SYS: そのようにカードを出すことは出来ません．"_cp932;
  }
  outcome.target.reset();
  state.playKind = state.savedPlayKind;
  return outcome;
}

DiscardOutcome DecideDiscard(const DiscardContext& context, Marks& usedMarks, Marks& savedMarks) {
  DiscardOutcome outcome;
  savedMarks = usedMarks;
  const auto& selected = context.selectedRows;
  const size_t s = selected.size();
  const size_t n = std::min(context.hand.size(), kHandSlots);
  auto isSelected = [&](size_t row) {
    return std::find(selected.begin(), selected.end(), row) != selected.end();
  };

  bool ok = false;
  if (context.trapPending) {
    if (s < 3 && s == n) {
      ok = true;
    } else if (s == 1) {
      ok = selected[0] < n && context.hand[selected[0]].kind == 'T';
    } else if (s == 3) {
      ok = true;
    }
  } else {
    ok = true;
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
      const bool chosen = isSelected(i);
      if (usedMarks[i] && chosen) ok = false;
      if (!usedMarks[i] && !chosen) ++kept;
    }
    if (kept != 7) ok = false;
  }

  // A slot without a card is never sent.
  for (const size_t row : selected) {
    if (row < n && !IsCardNumber(context.hand[row].card)) ok = false;
  }
  if (ok && s > 0) {
    std::string text;
    for (const size_t row : selected) {
      if (row >= n) continue;
      usedMarks[row] = true;
      text += std::to_string(context.hand[row].card);
      text += ' ';
    }
    outcome.command = std::move(text);
  } else {
    outcome.refusal = "SYS: その捨て方は出来ません．"_cp932;
  }
  return outcome;
}

}  // namespace gorvane
