// SPDX-License-Identifier: GPL-3.0-or-later
// The player's actions in the game window: draw, play, discard, end the
// turn, start, refresh and leave.
#include "client/game_room.h"
#include "rules/play_rules.h"
#include "spine/sjis.h"

namespace gorvane {

std::vector<HandSlot> GameRoom::HandSlots() {
  std::vector<HandSlot> hand;
  const size_t count = HandCount();
  for (size_t i = 0; i < count; ++i)
    hand.push_back({state_.handCards[i], lobby_.catalogue.Card(state_.handCards[i]).kind});
  return hand;
}

void GameRoom::Button1Click() {
  lobby_.commands.SendCommand("P_DROW", "*");
  SetButtons(false, true, true, true);
}

void GameRoom::Button2Click() { lobby_.commands.SendCommand("P_TURNEND", "*"); }

void GameRoom::Button3Click() {
  PlayContext context;
  context.hand = HandSlots();
  context.selectedRows = screen_.handList.Selection();
  context.myId = myId();
  if (const party_t* own = roster_.ownMember()) {
    context.monster = own->monster;
    context.monsterKind = lobby_.catalogue.Card(own->monster).kind;
  }
  context.corridorRows = screen_.corridorList.size();
  context.charmBoxSelected = !screen_.charmBox.Selection().empty();
  context.charmedMonster = state_.charmedMonster;
  for (const party_t& member : roster_.members) context.memberIds.push_back(member.id);
  context.selectedMember = screen_.memberSelection;

  PlayState play{state_.playKind, state_.savedPlayKind, state_.usedMarks, state_.savedMarks,
                 state_.charmCast};
  const PlayOutcome outcome = DecidePlay(context, play);
  state_.playKind = play.playKind;
  state_.savedPlayKind = play.savedPlayKind;
  state_.usedMarks = play.usedMarks;
  state_.savedMarks = play.savedMarks;
  state_.charmCast = play.charmCast;

  if (outcome.refusal) PrintMessage(*outcome.refusal, kRed);
  if (!outcome.command) return;
  if (state_.playKind == PlayKind::SendMonster || state_.playKind == PlayKind::SendCharmed) {
    monsterTarget_ = outcome.target;
  }
  lobby_.commands.SendCommand("P_PLAY", *outcome.command);
  if (outcome.marksChanged) ShowHand();
  if (outcome.clearCharmBox) {
    screen_.charmBox.Clear();
    view_.Redraw(GameView::kCharmBox);
  }
}

void GameRoom::Button4Click() {
  DiscardContext context;
  context.hand = HandSlots();
  context.selectedRows = screen_.handList.Selection();
  context.trapPending = state_.trapPending;
  const DiscardOutcome outcome = DecideDiscard(context, state_.usedMarks, state_.savedMarks);
  if (outcome.command) {
    screen_.playEnabled = false;
    screen_.pileEnabled = false;
    lobby_.commands.SendCommand("P_PILE", *outcome.command);
    screen_.turnEndEnabled = true;
    view_.Redraw(GameView::kButtons);
  } else if (outcome.refusal) {
    PrintMessage(*outcome.refusal, kRed);
  }
  ShowHand();
}

void GameRoom::S1Click() {
  lobby_.commands.SendCommand("P_START", "*");
  screen_.startEnabled = false;
  view_.Redraw(GameView::kStartItem);
  state_.gameRunning = true;
}

void GameRoom::R1Click() {
  if (state_.gameRunning) {
    RefreshPartyList();
  } else {
    lobby_.commands.SendCommand("P_LIST", "*");
  }
}

void GameRoom::Edit1KeyDown(int key) {
  if (key != kEnterKey) return;
  const auto line = chat_.Enter();
  if (!line) return;
  lobby_.commands.SendCommand("P_CHAT", *line);
  view_.Redraw(GameView::kChatLine);
}

void GameRoom::FormClose() { lobby_.commands.SendCommand("P_BYE", "*"); }

}  // namespace gorvane
