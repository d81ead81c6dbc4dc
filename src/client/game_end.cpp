// SPDX-License-Identifier: GPL-3.0-or-later
// Treasure, the way out, the results and the end of a game.
#include <algorithm>

#include "client/game_room.h"
#include "spine/codec.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane {

void GameRoom::ReachTreasure(int32_t userId, int32_t amount) {
  if (userId == myId()) {
    PrintMessage("SYS: トレジャールームに到着．"_cp932 + std::to_string(amount) + "ドルム発見！"_cp932,
                 kBlack);
  } else {
    PrintMessage("SYS: " + MemberName(userId) + "さんがトレジャールームに到着．"_cp932, kBlack);
  }
  if (party_t* member = roster_.Find(userId)) {
    member->atTreasure = true;
    member->treasure = amount;
  }
  RefreshPartyList();
}

void GameRoom::ICanGetBack(int32_t userId) {
  if (userId == myId()) {
    PrintMessage("SYS: 洞窟から帰還しました！おめでとう！"_cp932, kBlack);
    // Out of the cave: this turn ends now, without waiting for a click.
    Button2Click();
  } else {
    PrintMessage("SYS: " + MemberName(userId) + "さんが洞窟から脱出しました．"_cp932, kBlack);
  }
  RefreshPartyList();
}

void GameRoom::DispatchResult(std::string_view commaText) {
  struct Entry {
    int32_t id;
    int32_t amount;
  };
  // Every item is read before anything is printed: a bad one stops it all.
  std::vector<Entry> entries;
  FieldViews parts;
  for (const std::string_view item : FieldViews(commaText)) {
    parts.Split(item, ':');
    const int32_t id = IntegerAt(parts, 0);
    entries.push_back({id, IntegerAt(parts, 1)});
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.amount > b.amount; });

  PrintMessage("SYS: 結果発表！！"_cp932, kBlack);
  int rank = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i == 0 || entries[i].amount != entries[i - 1].amount) ++rank;
    PrintMessage("SYS: 第"_cp932 + std::to_string(rank) + "位: "_cp932 + MemberName(entries[i].id) +
                     "さん ("_cp932 + std::to_string(entries[i].amount) + "ドルム)"_cp932,
                 kBlack);
  }
  PrintMessage("SYS: 結果は以上です．"_cp932, kBlack);
  ResetGameState(ResetForm::kResults);
}

void GameRoom::DispatchQuitgame(int32_t userId) {
  if (roster_.Find(userId) != nullptr) quitMember(userId);
  SetButtons(false, false, false, false);
  ResetGameState(ResetForm::kQuit);
}

void GameRoom::ResetGameState(ResetForm form) {
  for (party_t& member : roster_.members) {
    member.isTurn = false;
    member.atTreasure = false;
    member.returning = false;
    member.corridorCount = 0;
    member.distance = 0;
    member.monster = -1;
    member.handCount = 7;
    if (form == ResetForm::kResults) {
      member.fightBonus = 0;
      member.playedThisTurn = false;
    }
  }
  state_.corridorValues.fill(0);
  state_.handCards.fill(0);
  state_.usedMarks.fill(false);
  state_.savedMarks.fill(false);
  state_.trapPending = false;
  state_.charmCast = false;
  state_.charmedMonster = -1;
  screen_.corridorList.Clear();
  screen_.startEnabled = true;
  state_.gameRunning = false;
  view_.Redraw(GameView::kCorridorList | GameView::kStartItem);
}

}  // namespace gorvane
