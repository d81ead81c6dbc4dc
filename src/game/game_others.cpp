// Other members' turns as the server reports them: the roster mirrors what
// the server already settled, nothing is judged here. A report's numbers are
// read where they are used: a bad one stops the handling there, and what
// came before it stays done.
#include "core/codec.h"
#include "core/fields.h"
#include "core/sjis.h"
#include "game/game_room.h"

namespace gorvane {

void GameRoom::DispatchOtherTurn(int32_t userId) {
  if (userId != myId()) {
    for (party_t& member : roster_.members) {
      member.isTurn = false;
      member.playedThisTurn = false;
    }
    if (party_t* member = roster_.Find(userId)) member->isTurn = true;
    PrintMessage("SYS; " + MemberName(userId) + sjis::Text("さんのターンが開始しました．"), kBlack);
  }
  RefreshPartyList();
  state_.gameRunning = true;
}

void GameRoom::DispatchOtherDrowCard(int32_t userId) {
  if (userId != myId()) {
    PrintMessage("SYS: " + MemberName(userId) + sjis::Text("さんがカードをドローしました．"), kBlack);
    if (party_t* member = roster_.Find(userId)) member->handCount += 1;
  }
  RefreshPartyList();
}

void GameRoom::DispatchOtheropen(int32_t userId) {
  if (userId == myId()) return;
  PrintMessage("SYS: " + MemberName(userId) + sjis::Text("さんがトラップを引きました！"), kBlack);
  // The trap leaves the hand again: the draw's count is taken back.
  if (party_t* member = roster_.Find(userId)) member->handCount -= 1;
}

void GameRoom::DispatchOtherPlay(int32_t playerId, int32_t targetId, std::string_view cardsText) {
  if (playerId == myId()) return;
  const Fields cardFields = SplitCommaText(cardsText);
  const CardCatalogue& catalogue = lobby_.catalogue;

  if (playerId != targetId) {
    // A monster sent to a third member: only the first card is read.
    const int32_t monster = ToInteger(FieldAt(cardFields, 0));
    PrintMessage("SYS: " + MemberName(playerId) + sjis::Text("さんが") + MemberName(targetId) +
                     sjis::Text("さんを") + catalogue.CardText(monster) + sjis::Text("で攻撃しました．"),
                 kBlack);
    if (party_t* player = roster_.Find(playerId); player != nullptr && !player->playedThisTurn) {
      player->handCount -= 1;
    }
    if (party_t* target = roster_.Find(targetId)) target->monster = monster;
    RefreshPartyList();
    return;
  }

  PrintMessage("SYS: " + MemberName(playerId) + sjis::Text("さんが以下のカードをプレイしました．"), kBlack);
  std::vector<int32_t> cards;
  for (const std::string& field : cardFields) {
    cards.push_back(ToInteger(field));
    PrintMessage("SYS: " + catalogue.CardText(cards.back()), kBlack);
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
  PrintMessage("SYS: " + MemberName(playerId) + sjis::Text("さんが") + lobby_.catalogue.CardText(card) +
                   sjis::Text("を送り込んできました!"),
               kBlack);
  if (party_t* player = roster_.Find(playerId)) player->handCount -= 1;
}

void GameRoom::DispatchOtherDice(int32_t userId, std::string_view diceText) {
  if (userId != myId()) {
    // The dice are shown as received before they are added up.
    PrintMessage("SYS: " + MemberName(userId) + sjis::Text("さんのダイス目は [") + std::string(diceText) +
                     sjis::Text("]でした"),
                 kBlack);
    int64_t sum = 0;
    for (const std::string& die : SplitCommaText(diceText)) sum += ToInteger(die);
    if (party_t* r = roster_.Find(userId)) {
      // Dice without a monster decide nothing: there is nothing to beat.
      if (r->monster != -1) {
        if (lobby_.catalogue.Card(r->monster).value > r->fightBonus + sum) {
          PrintMessage(sjis::Text("SYS: 撃退に失敗したようです．"), kBlack);
        } else {
          PrintMessage(sjis::Text("SYS: 撃退に成功したようです．"), kBlack);
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
    PrintMessage("SYS: " + MemberName(userId) + sjis::Text("さんが以下のカードを捨てました．"), kBlack);
    const Fields cards = SplitCommaText(cardsText);
    for (const std::string& card : cards)
      PrintMessage("SYS: " + lobby_.catalogue.CardText(ToInteger(card)), kBlack);
    if (party_t* member = roster_.Find(userId)) member->handCount -= static_cast<int32_t>(cards.size());
  }
  RefreshPartyList();
}

}  // namespace gorvane
