// SPDX-License-Identifier: GPL-3.0-or-later
// Other members' turns as the server reports them: the roster mirrors what
// the server already settled, nothing is judged here. A report's numbers are
// read where they are used: a bad one stops the handling there, and what
// came before it stays done.
#include "client/game_room.h"
#include "spine/codec.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane {

void GameRoom::DispatchOtherTurn(int32_t userId) {
  if (userId != myId()) {
    for (party_t& member : roster_.members) {
      member.isTurn = false;
      member.playedThisTurn = false;
    }
    if (party_t* member = roster_.Find(userId)) member->isTurn = true;
    PrintLine(kBlack, "SYS; ", MemberName(userId), "さんのターンが開始しました．"_cp932);
  }
  RefreshPartyList();
  state_.gameRunning = true;
}

void GameRoom::DispatchOtherDrowCard(int32_t userId) {
  if (userId != myId()) {
    PrintLine(kBlack, "SYS: ", MemberName(userId), "さんがカードをドローしました．"_cp932);
    if (party_t* member = roster_.Find(userId)) member->handCount += 1;
  }
  RefreshPartyList();
}

void GameRoom::DispatchOtheropen(int32_t userId) {
  if (userId == myId()) return;
  PrintLine(kBlack, "SYS: ", MemberName(userId), "さんがトラップを引きました！"_cp932);
  // The trap leaves the hand again: the draw's count is taken back.
  if (party_t* member = roster_.Find(userId)) member->handCount -= 1;
}

void GameRoom::DispatchOtherPlay(int32_t playerId, int32_t targetId, std::string_view cardsText) {
  if (playerId == myId()) return;
  const FieldViews cardFields(cardsText);
  const CardCatalogue& catalogue = lobby_.catalogue;

  if (playerId != targetId) {
    // A monster sent to a third member: only the first card is read.
    const int32_t monster = ToInteger(FieldAt(cardFields, 0));
    PrintMessage("SYS: " + MemberName(playerId) + "さんが"_cp932 + MemberName(targetId) + "さんを"_cp932 +
                     catalogue.CardText(monster) + "で攻撃しました．"_cp932,
                 kBlack);
    if (party_t* player = roster_.Find(playerId); player != nullptr && !player->playedThisTurn) {
      player->handCount -= 1;
    }
    if (party_t* target = roster_.Find(targetId)) target->monster = monster;
    RefreshPartyList();
    return;
  }

  PrintLine(kBlack, "SYS: ", MemberName(playerId), "さんが以下のカードをプレイしました．"_cp932);
  std::vector<int32_t> cards;
  cards.reserve(cardFields.size());
  for (const std::string_view field : cardFields) {
    cards.push_back(ToInteger(field));
    PrintLine(kBlack, "SYS: ", catalogue.CardText(cards.back()));
  }
  if (party_t* r = roster_.Find(playerId)) {
    if (cards.size() == 1) {
      const card_t& card = catalogue.Card(cards.front());
      switch (card.kind) {
        case 'C':
          r->monster = -1;
          break;
        case 'L':
          if (r->corridorCount >= static_cast<int32_t>(kCorridorSlots)) {
            lobby_.debugLog.AppendLine("DispatchOtherPlay: corridor of " + std::to_string(playerId) +
                                       " is full; card " + std::to_string(cards.front()) + " not counted");
          } else {
            r->corridorCount += 1;
            r->corridor[static_cast<size_t>(r->corridorCount)] = card.value;
            r->distance += r->returning ? -card.value : card.value;
          }
          if (r->atTreasure) {
            r->corridorCount = 0;
            r->atTreasure = false;
            r->returning = true;
          }
          break;
        case 'P':
          r->monster = -1;
          // Without a corridor card there is nothing to take back.
          if (r->corridorCount > 0 && r->corridorCount <= static_cast<int32_t>(kCorridorSlots)) {
            const int32_t value = r->corridor[static_cast<size_t>(r->corridorCount)];
            r->distance += r->returning ? value : -value;
            r->corridorCount -= 1;
          }
          break;
        default:
          r->fightBonus = card.value;
          break;
      }
    } else if (cards.size() >= 2) {
      if (catalogue.Card(cards[0]).kind == 'C' || catalogue.Card(cards[1]).kind == 'C') {
        // A revival: the revived cards come back to the hand.
        r->handCount += 2;
      } else {
        r->fightBonus = 0;
        for (const int32_t card : cards) r->fightBonus += catalogue.Card(card).value;
      }
    }
    r->handCount -= static_cast<int32_t>(cards.size());
    r->playedThisTurn = true;
  }
  RefreshPartyList();
}

void GameRoom::DispatchTargetPlay(int32_t playerId, int32_t card) {
  if (party_t* own = roster_.ownMember()) own->monster = card;
  screen_.monsterText = lobby_.catalogue.CardText(card);
  view_.Redraw(GameView::kMonster);
  PrintMessage("SYS: " + MemberName(playerId) + "さんが"_cp932 + lobby_.catalogue.CardText(card) +
                   "を送り込んできました!"_cp932,
               kBlack);
  if (party_t* player = roster_.Find(playerId)) player->handCount -= 1;
}

void GameRoom::DispatchOtherDice(int32_t userId, std::string_view diceText) {
  if (userId != myId()) {
    // The dice are shown as received before they are added up.
    PrintMessage(
        "SYS: " + MemberName(userId) + "さんのダイス目は ["_cp932 + std::string(diceText) + "]でした"_cp932,
        kBlack);
    int64_t sum = 0;
    for (const std::string_view die : FieldViews(diceText)) sum += ToInteger(die);
    if (party_t* r = roster_.Find(userId)) {
      // Dice without a monster decide nothing: there is nothing to beat.
      if (r->monster != -1) {
        if (lobby_.catalogue.Card(r->monster).value > r->fightBonus + sum) {
          PrintMessage("SYS: 撃退に失敗したようです．"_cp932, kBlack);
        } else {
          PrintMessage("SYS: 撃退に成功したようです．"_cp932, kBlack);
          r->monster = -1;
        }
      }
      r->fightBonus = 0;
    }
  }
  RefreshPartyList();
}

void GameRoom::DispatchOtherPile(int32_t userId, std::string_view cardsText) {
  if (userId != myId()) {
    PrintLine(kBlack, "SYS: ", MemberName(userId), "さんが以下のカードを捨てました．"_cp932);
    const FieldViews cards(cardsText);
    for (const std::string_view card : cards)
      PrintLine(kBlack, "SYS: ", lobby_.catalogue.CardText(ToInteger(card)));
    if (party_t* member = roster_.Find(userId)) member->handCount -= static_cast<int32_t>(cards.size());
  }
  RefreshPartyList();
}

}  // namespace gorvane
