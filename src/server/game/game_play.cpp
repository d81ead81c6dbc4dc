// SPDX-License-Identifier: GPL-3.0-or-later
// Judging and carrying out a play: the client's own play rules decide what
// the cards make, then the checks only the server can make, then the effect
// in the same arithmetic the client uses to show it.
#include <algorithm>

#include "server/base/wire.h"
#include "server/game/dice.h"
#include "server/game/game.h"

namespace gorvane::server {
namespace {

std::string Number(int32_t value) { return std::to_string(value); }

bool IsRevival(PlayKind kind) { return kind == PlayKind::ClericRevive || kind == PlayKind::ReviveUsed; }
bool SendsMonster(PlayKind kind) { return kind == PlayKind::SendMonster || kind == PlayKind::SendCharmed; }

}  // namespace

struct Game::PlayRequest {
  int32_t target = 0;
  std::vector<int32_t> cards;  // as sent
  std::vector<size_t> rows;    // hand slots of the cards, in hand order
  bool charmed = false;        // the charmed monster, which is in no slot
  PlayState state;             // after the rules: the new marks and the play kind
};

Game::Refusal Game::Play(int32_t id, std::string_view argument, Mail& mail) {
  auto refuse = [&](std::string why) -> Refusal {
    mail.push_back({id, Message("S_UNPLAYED", {"1"})});
    return why;
  };
  if (over_ || id != turn_.player) {
    Reconcile(id, true, argument);
    return refuse("not this player's turn");
  }
  const auto numbers = ParseNumbers(argument);
  Player& player = *Find(id);
  // The player's screen casts the charm as soon as card 58 is in a play it
  // sends, whatever the answer; it must be in the hand to be cast at all.
  if (numbers &&
      std::find(numbers->begin() + std::min<size_t>(numbers->size(), 1), numbers->end(), kCharmCard) !=
          numbers->end() &&
      std::find(player.hand.begin(), player.hand.end(), kCharmCard) != player.hand.end()) {
    turn_.charmCast = true;
  }
  if (auto blocked = ActionBlocked()) return refuse(*blocked);
  if (!numbers || numbers->size() < 2) return refuse("wants a target and card numbers");
  PlayRequest request;
  request.target = numbers->front();
  request.cards.assign(numbers->begin() + 1, numbers->end());
  request.charmed =
      turn_.charmed != -1 && request.cards.size() == 1 && request.cards.front() == turn_.charmed;
  if (!request.charmed) {
    if (auto why = FindRows(player, request)) return refuse(*why);
  }
  if (auto why = JudgePlay(player, request)) return refuse(*why);
  ApplyPlay(player, request, mail);
  return std::nullopt;
}

std::optional<std::string> Game::FindRows(const Player& player, PlayRequest& request) {
  for (const int32_t card : request.cards) {
    const auto slot = std::find(player.hand.begin(), player.hand.end(), card);
    if (slot == player.hand.end()) return "card " + Number(card) + " is not in the hand";
    const size_t row = static_cast<size_t>(slot - player.hand.begin());
    if (std::find(request.rows.begin(), request.rows.end(), row) != request.rows.end()) {
      return "card " + Number(card) + " named twice";
    }
    request.rows.push_back(row);
  }
  std::sort(request.rows.begin(), request.rows.end());
  return std::nullopt;
}

PlayContext Game::ContextFor(const Player& player, const PlayRequest& request, const Turn& turn) const {
  PlayContext context;
  context.myId = player.id;
  context.monster = player.monster;
  context.monsterKind = player.monster == -1 ? 0 : cards_.Card(player.monster).kind;
  context.corridorRows = player.corridor.size();
  for (const int32_t card : player.hand) context.hand.push_back({card, cards_.Card(card).kind});
  for (size_t i = 0; i < players_.size(); ++i) {
    context.memberIds.push_back(players_[i].id);
    if (players_[i].id == request.target) context.selectedMember = i;
  }
  context.selectedRows = request.rows;
  context.charmBoxSelected = request.charmed;
  context.charmedMonster = turn.charmed;
  return context;
}

// The command the client's rules make of the request: the target and the
// cards in hand order.
std::string Game::Whole(const Player& player, const PlayRequest& request, const Turn& turn) {
  std::string whole = Number(request.target);
  for (const size_t row : request.rows) whole += " " + Number(player.hand[row]);
  if (request.charmed) whole += " " + Number(turn.charmed);
  return whole;
}

void Game::Reconcile(int32_t id, bool play, std::string_view argument) {
  if (!late_ || late_->player.id != id) return;
  const LateTurn late = std::move(*late_);
  late_.reset();
  Player* player = Find(id);
  const auto numbers = ParseNumbers(argument);
  if (player == nullptr || player->hand != late.kept || !numbers || numbers->empty()) return;
  const Player& was = late.player;
  Marks marks = was.used;
  PlayRequest request;
  if (play) {
    if (numbers->size() < 2) return;
    request.target = numbers->front();
    request.cards.assign(numbers->begin() + 1, numbers->end());
    request.charmed =
        late.turn.charmed != -1 && request.cards.size() == 1 && request.cards.front() == late.turn.charmed;
    if (!request.charmed && FindRows(was, request)) return;
    PlayState state;
    state.playKind = late.turn.playKind;
    state.usedMarks = was.used;
    const PlayOutcome outcome = DecidePlay(ContextFor(was, request, late.turn), state);
    // Only what the player's own rules would have sent took cards away.
    if (outcome.command != Whole(was, request, late.turn)) return;
    marks = state.usedMarks;
  } else {
    request.cards = *numbers;
    if (FindRows(was, request)) return;
    DiscardContext context;
    for (const int32_t card : was.hand) context.hand.push_back({card, cards_.Card(card).kind});
    context.selectedRows = request.rows;
    context.trapPending = late.turn.trapOwed;
    Marks saved{};
    if (!DecideDiscard(context, marks, saved).command) return;
  }
  std::vector<int32_t> kept;
  for (size_t slot = 0; slot < was.hand.size(); ++slot) {
    if (!marks[slot]) kept.push_back(was.hand[slot]);
  }
  player->hand = std::move(kept);
}

Game::Refusal Game::JudgePlay(const Player& player, PlayRequest& request) const {
  const PlayContext context = ContextFor(player, request, turn_);
  request.state.playKind = turn_.playKind;
  request.state.usedMarks = player.used;

  const PlayOutcome outcome = DecidePlay(context, request.state);
  const PlayKind kind = request.state.playKind;
  if (!outcome.command) return std::string("the play rules refuse it as ") + PlayKindName(kind);
  if (!SendsMonster(kind) && request.target != player.id) return "only a monster goes to another member";
  // The rules leave out cards that do not fit; the client never sends those.
  if (*outcome.command != Whole(player, request, turn_))
    return std::string("the play rules take only part of it as ") + PlayKindName(kind);

  if (SendsMonster(kind)) {
    const Player* target = FindPlayer(request.target);
    if (target->out) return "the target is back out of the cave";
    if (target->monster != -1) return "the target already carries a monster";
    return std::nullopt;
  }
  if (IsRevival(kind)) {
    if (turn_.revived) return "one revival per turn";
    // Revival brings back the wounded of this turn's fights, not cards
    // spent on anything else.
    for (const size_t row : request.rows) {
      if (player.used[row] && !turn_.fought[row]) {
        return "card " + Number(player.hand[row]) + " did not fight this turn";
      }
    }
    return std::nullopt;
  }
  for (const size_t row : request.rows) {
    if (player.used[row]) return "card " + Number(player.hand[row]) + " was used this turn";
  }
  if (kind == PlayKind::Fight) {
    bool spell = false;
    bool caster = false;
    bool humanoidOnly = false;
    for (const size_t row : request.rows) {
      const int32_t card = player.hand[row];
      const char cardKind = cards_.Card(card).kind;
      spell = spell || cardKind == 'S';
      caster = caster || cardKind == 'E' || cardKind == 'M';
      humanoidOnly = humanoidOnly || card == kSleepCard || card == kCharmCard;
    }
    if (spell && !caster) return "a spell fights only beside an elf or a magician";
    if (humanoidOnly && context.monsterKind != 'H') return "cards 54 and 58 fight only a humanoid monster";
  }
  return std::nullopt;
}

void Game::ApplyPlay(Player& player, const PlayRequest& request, Mail& mail) {
  const PlayKind kind = request.state.playKind;
  const bool wasAtTreasure = player.atTreasure;
  player.used = request.state.usedMarks;
  turn_.playKind = kind;

  std::vector<int32_t> dice;
  const int32_t firstCard = request.charmed ? turn_.charmed : player.hand[request.rows.front()];
  switch (kind) {
    case PlayKind::Corridor: {
      const int32_t value = cards_.Card(firstCard).value;
      player.corridor.push_back(value);
      player.distance += player.returning ? -value : value;
      break;
    }
    case PlayKind::SendMonster:
    case PlayKind::SendCharmed:
      Find(request.target)->monster = firstCard;
      if (request.charmed) turn_.charmed = -1;
      break;
    case PlayKind::Detour: {
      const int32_t value = player.corridor.back();
      player.corridor.pop_back();
      player.distance += player.returning ? value : -value;
      player.monster = -1;
      break;
    }
    case PlayKind::ClericRepel:
      player.monster = -1;
      break;
    case PlayKind::Fight:
      dice = Fight(player, request);
      break;
    case PlayKind::ClericRevive:
    case PlayKind::ReviveUsed:
      turn_.revived = true;
      break;
    case PlayKind::Rejected:
    case PlayKind::NoPlay:
      break;
  }

  std::vector<std::string> played;
  for (const int32_t die : dice) played.push_back(Number(die));
  mail.push_back({player.id, Message("S_PLAYED", played)});
  std::vector<std::string> report{Number(player.id), Number(request.target)};
  if (request.charmed) {
    report.push_back(Number(firstCard));
  } else {
    for (const size_t row : request.rows) report.push_back(Number(player.hand[row]));
  }
  ToOthers(player.id, Message("S_OPLAY", report), mail);
  if (kind == PlayKind::Fight) {
    played.insert(played.begin(), Number(player.id));
    ToOthers(player.id, Message("S_DICE", played), mail);
  }
  ArriveOrReturn(player, wasAtTreasure, mail);
}

std::vector<int32_t> Game::Fight(Player& player, const PlayRequest& request) {
  int32_t dieCount = 0;
  for (const size_t row : request.rows) {
    dieCount += std::max(cards_.Card(player.hand[row]).dice, 0);
    turn_.fought[row] = true;
  }
  std::vector<int32_t> dice;
  int32_t total = 0;
  for (int32_t i = 0; i < dieCount; ++i) {
    dice.push_back(RollDie(rng_));
    total += dice.back();
  }
  // Everything spent this turn adds its value, as the player's own window
  // counts it.
  for (size_t slot = 0; slot < player.hand.size(); ++slot) {
    if (player.used[slot]) total += cards_.Card(player.hand[slot]).value;
  }
  if (total >= cards_.Card(player.monster).value) {
    if (turn_.charmCast) turn_.charmed = player.monster;
    player.monster = -1;
  }
  return dice;
}

void Game::ArriveOrReturn(Player& player, bool wasAtTreasure, Mail& mail) {
  if (wasAtTreasure) {
    player.atTreasure = false;
    player.returning = true;
    player.corridor.clear();
  } else if (!player.returning && !player.atTreasure && player.distance >= kTreasureDistance) {
    player.atTreasure = true;
    player.treasure = 100 * (RollDie(rng_) + RollDie(rng_));
    mail.push_back({player.id, Message("S_TREASURE", {Number(player.treasure)})});
    ToOthers(player.id, Message("S_OTREASURE", {Number(player.id), Number(player.treasure)}), mail);
  }
  if (player.returning && player.distance <= 0) {
    player.out = true;
    turn_.wentOut = true;
    mail.push_back({player.id, "S_REACHED"});
    ToOthers(player.id, Message("S_OREACHED", {Number(player.id)}), mail);
  }
}

}  // namespace gorvane::server
