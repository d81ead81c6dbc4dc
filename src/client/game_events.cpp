// SPDX-License-Identifier: GPL-3.0-or-later
// The own turn as the server reports it: turn start, draws, the answers to
// plays and discards, and the turn end.
#include "client/game_room.h"
#include "spine/codec.h"
#include "spine/concat.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane {

void GameRoom::SetButtons(bool draw, bool play, bool pile, bool turnEnd) {
  screen_.drawEnabled = draw;
  screen_.playEnabled = play;
  screen_.pileEnabled = pile;
  screen_.turnEndEnabled = turnEnd;
  view_.Redraw(GameView::kButtons);
}

std::string GameRoom::CardLabel(int32_t card) const {
  const card_t& c = lobby_.catalogue.Card(card);
  return c.name + "(" + std::to_string(c.value) + ")";
}

std::string GameRoom::DistanceCaption(const party_t& own) const {
  return "距離 = "_cp932 + std::to_string(own.distance);
}

void GameRoom::DispatchReady() {
  state_.gameRunning = true;
  for (party_t& member : roster_.members) member.isTurn = false;
  if (party_t* own = roster_.ownMember()) own->isTurn = true;
  PrintMessage("SYS: あなたの手番です！"_cp932, kBlack);
  screen_.drawEnabled = true;
  view_.Redraw(GameView::kButtons);
  RefreshPartyList();
  view_.TurnAlert();
}

void GameRoom::DrowCard(int32_t card) {
  state_.trapPending = false;
  if (card < 0) {
    PrintMessage("SYS: ドローするカードがありませんでした．"_cp932, kBlack);
  } else if (lobby_.catalogue.Card(card).kind == 'O') {
    // A trap never enters the hand; it calls for a discard first.
    screen_.turnEndEnabled = false;
    screen_.playEnabled = false;
    view_.Redraw(GameView::kButtons);
    state_.trapPending = true;
    PrintMessage("SYS: トラップカードを引きました！！"_cp932, kBlack);
  } else if (party_t* own = roster_.ownMember(); own == nullptr) {
    lobby_.debugLog.AppendLine("DrowCard: no own member in the roster; card " + std::to_string(card) +
                               " dropped");
  } else if (HandCount() >= kHandSlots) {
    lobby_.debugLog.AppendLine("DrowCard: the hand is full; card " + std::to_string(card) + " dropped");
  } else {
    state_.handCards[HandCount()] = card;
    own->handCount = static_cast<int32_t>(HandCount()) + 1;
    ShowHand();
  }
  RefreshPartyList();
  state_.playKind = PlayKind::NoPlay;
}

void GameRoom::DispatchPlayed(std::string_view diceText) {
  const FieldViews diceFields(diceText);
  int64_t diceTotal = 0;
  for (const std::string_view field : diceFields) diceTotal += ToInteger(field);

  party_t* own = roster_.ownMember();
  if (own == nullptr) {
    lobby_.debugLog.AppendLine("DispatchPlayed: no own member in the roster");
    RefreshPartyList();
    return;
  }
  unsigned redraw = 0;
  if (state_.playKind == PlayKind::SendCharmed) {
    // The charmed monster now sits with its target, as a sent monster does,
    // and is gone from this player for good.
    if (party_t* target = monsterTarget_ ? roster_.Find(*monsterTarget_) : nullptr) {
      target->monster = state_.charmedMonster;
    }
    state_.charmedMonster = -1;
  }

  // The slot this play marked: marked now, not marked before the click.
  const size_t count = HandCount();
  std::optional<size_t> slot;
  for (size_t i = 0; i < count; ++i) {
    if (state_.usedMarks[i] && !state_.savedMarks[i]) {
      slot = i;
      break;
    }
  }
  if (slot) {
    const int32_t card = state_.handCards[*slot];
    const card_t& played = lobby_.catalogue.Card(card);
    switch (state_.playKind) {
      case PlayKind::Corridor: {
        const size_t row = screen_.corridorList.size();
        if (row >= kCorridorRows) {
          lobby_.debugLog.AppendLine("DispatchPlayed: the corridor list is full; card " +
                                     std::to_string(card) + " not shown");
          break;
        }
        state_.corridorValues[row] = played.value;
        screen_.corridorList.Append(CardLabel(card));
        own->corridorCount += 1;
        own->distance += own->returning ? -played.value : played.value;
        screen_.distanceCaption = DistanceCaption(*own);
        redraw |= GameView::kCorridorList | GameView::kDistance;
        break;
      }
      case PlayKind::SendMonster:
        PrintMessage("SYS: モンスターをはりつけました"_cp932, kBlack);
        if (party_t* target = monsterTarget_ ? roster_.Find(*monsterTarget_) : nullptr)
          target->monster = card;
        break;
      case PlayKind::Detour:
        PrintMessage("SYS: モンスターを回避しました．"_cp932, kBlack);
        if (screen_.corridorList.size() > 0) {
          own->corridorCount -= 1;
          screen_.corridorList.RemoveLast();
          const int32_t value = state_.corridorValues[screen_.corridorList.size()];
          own->distance += own->returning ? value : -value;
        }
        own->monster = -1;
        screen_.monsterText.clear();
        screen_.distanceCaption = DistanceCaption(*own);
        redraw |= GameView::kCorridorList | GameView::kDistance | GameView::kMonster;
        break;
      case PlayKind::ClericRepel:
        PrintMessage("SYS: クレリックがモンスターを撃退しました．"_cp932, kBlack);
        own->monster = -1;
        screen_.monsterText.clear();
        redraw |= GameView::kMonster;
        break;
      case PlayKind::Fight: {
        PrintMessage("SYS: 攻撃ダイスの目は["_cp932 + JoinCommaText(diceFields) + "]でした．"_cp932, kBlack);
        int64_t total = diceTotal;
        for (size_t i = 0; i < count; ++i) {
          if (state_.usedMarks[i]) total += lobby_.catalogue.Card(state_.handCards[i]).value;
        }
        const int32_t monster = own->monster;
        if (lobby_.catalogue.Card(monster).value > total) {
          PrintMessage("SYS: 撃退に失敗しました…．"_cp932, kBlack);
          break;
        }
        PrintMessage("SYS: 撃退に成功しました！！"_cp932, kBlack);
        if (state_.charmCast && monster != -1) {
          state_.charmedMonster = monster;
          screen_.charmBox.Append(CardLabel(monster));
          redraw |= GameView::kCharmBox;
        }
        own->monster = -1;
        screen_.monsterText.clear();
        redraw |= GameView::kMonster;
        break;
      }
      case PlayKind::ClericRevive:
      case PlayKind::ReviveUsed:
        PrintMessage("SYS: クレリックにより負傷者が復帰しました．"_cp932, kBlack);
        break;
      default:
        break;
    }
  }
  // The first accepted play after the treasure room starts the way back.
  if (own->atTreasure) {
    own->returning = true;
    own->atTreasure = false;
    own->corridorCount = 0;
    screen_.corridorList.Clear();
    redraw |= GameView::kCorridorList;
  }
  if (redraw != 0) view_.Redraw(redraw);
  RefreshPartyList();
}

void GameRoom::DispatchUnplayed() {
  state_.playKind = state_.savedPlayKind;
  state_.usedMarks = state_.savedMarks;
  ShowHand();
  // Said, so that a refusal is not taken for a slow server; the rules only
  // the server checks are in the help.
  PrintMessage("SYS: サーバがそのプレイを認めませんでした（ヘルプの「サーバのルール」を参照）．"_cp932, kRed);
  if (state_.charmCast && screen_.charmBox.size() == 0 && state_.charmedMonster != -1) {
    // Sending the charmed monster emptied the box; a refusal brings it back.
    screen_.charmBox.Append(CardLabel(state_.charmedMonster));
    view_.Redraw(GameView::kCharmBox);
  }
}

void GameRoom::DispatchPiled(int32_t result) {
  if (result == 0) {
    screen_.drawEnabled = false;
    screen_.playEnabled = false;
    screen_.pileEnabled = false;
    view_.Redraw(GameView::kButtons);
    return;
  }
  PrintMessage("SYS: パイルに失敗しました．"_cp932, kRed);
  screen_.playEnabled = true;
  screen_.pileEnabled = true;
  view_.Redraw(GameView::kButtons);
  state_.usedMarks = state_.savedMarks;
  ShowHand();
}

void GameRoom::DiscardUsedCards() {
  // The cards not used this turn, moved up in order: the hand the server
  // now holds.
  size_t kept = 0;
  const size_t count = HandCount();
  for (size_t i = 0; i < count; ++i) {
    if (!state_.usedMarks[i]) state_.handCards[kept++] = state_.handCards[i];
  }
  state_.usedMarks.fill(false);
  state_.savedMarks.fill(false);
  TakeHand(kept);
}

void GameRoom::DispatchTurnend(int32_t userId) {
  if (userId != myId()) return;
  DiscardUsedCards();
  SetButtons(false, false, false, false);
  state_.charmCast = false;
  state_.charmedMonster = -1;
  screen_.charmBox.Clear();
  view_.Redraw(GameView::kCharmBox);
}

}  // namespace gorvane
