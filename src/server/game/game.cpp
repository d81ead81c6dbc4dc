// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/game/game.h"

#include <algorithm>
#include <utility>

#include "server/base/wire.h"
#include "server/game/dice.h"

namespace gorvane::server {
namespace {

constexpr char kTrap = 'O';

std::string Number(int32_t value) { return std::to_string(value); }

}  // namespace

std::vector<int32_t> ShuffledDeck(const CardCatalogue& cards, std::mt19937& rng) {
  std::vector<int32_t> deck;
  for (int32_t number = 1; number <= kCardCount; ++number) {
    if (cards.Card(number).kind != 0) deck.push_back(number);
  }
  Shuffle(deck, rng);
  return deck;
}

Game::Game(const CardCatalogue& cards, std::mt19937& rng, std::vector<int32_t> players, int32_t leader,
           std::vector<int32_t> deck)
    : cards_(cards), rng_(rng), leader_(leader), deck_(deck.begin(), deck.end()) {
  std::sort(players.begin(), players.end());
  players.erase(std::unique(players.begin(), players.end()), players.end());
  for (const int32_t id : players) {
    players_.emplace_back();
    players_.back().id = id;
  }
  if (!players_.empty() && !Find(leader_)) leader_ = players_.front().id;
}

Player* Game::Find(int32_t id) {
  for (Player& player : players_) {
    if (player.id == id) return &player;
  }
  return nullptr;
}

const Player* Game::FindPlayer(int32_t id) const {
  for (const Player& player : players_) {
    if (player.id == id) return &player;
  }
  return nullptr;
}

void Game::ToOthers(int32_t id, const std::string& text, Mail& mail) const {
  for (const Player& player : players_) {
    if (player.id != id) mail.push_back({player.id, text});
  }
}

void Game::ToAll(const std::string& text, Mail& mail) const {
  for (const Player& player : players_) mail.push_back({player.id, text});
}

void Game::Start(Mail& mail) {
  if (players_.empty()) {
    over_ = true;
    return;
  }
  // Dealt in turn order. A trap goes back under the deck; once nothing but
  // traps is left the hands stay short rather than the deal go round forever.
  auto first =
      std::find_if(players_.begin(), players_.end(), [&](const Player& p) { return p.id == leader_; });
  std::rotate(players_.begin(), first, players_.end());
  size_t playable = static_cast<size_t>(std::count_if(
      deck_.begin(), deck_.end(), [&](int32_t card) { return cards_.Card(card).kind != kTrap; }));
  for (Player& player : players_) {
    while (player.hand.size() < kFirstHand && playable > 0) {
      const int32_t card = deck_.front();
      deck_.pop_front();
      if (cards_.Card(card).kind == kTrap) {
        deck_.push_back(card);
        continue;
      }
      player.hand.push_back(card);
      --playable;
    }
  }
  std::sort(players_.begin(), players_.end(), [](const Player& a, const Player& b) { return a.id < b.id; });
  for (const Player& player : players_) {
    std::vector<std::string> fields{Number(static_cast<int32_t>(deck_.size()))};
    for (const int32_t card : player.hand) fields.push_back(Number(card));
    mail.push_back({player.id, Message("S_FIRSTHAND", fields)});
  }
  BeginTurn(leader_, mail);
}

void Game::BeginTurn(int32_t id, Mail& mail) {
  if (late_ && late_->player.id == id) late_.reset();
  turn_ = Turn();
  ++turnNumber_;
  turn_.player = id;
  turn_.deckWasEmpty = deck_.empty();
  mail.push_back({id, "S_READY"});
  ToOthers(id, Message("S_OTURN", {Number(id)}), mail);
}

Game::Refusal Game::Draw(int32_t id, Mail& mail) {
  if (over_ || id != turn_.player) return "not this player's turn";
  if (turn_.drew) return "already drew this turn";
  Player& player = *Find(id);
  turn_.drew = true;
  turn_.playKind = PlayKind::NoPlay;
  // A full hand takes no card: the client could not show a seventeenth,
  // and the card stays in the deck for someone else.
  if (deck_.empty() || player.hand.size() >= kMaxHand) {
    mail.push_back({id, "S_FDREW"});
    return std::nullopt;
  }
  const int32_t card = deck_.front();
  deck_.pop_front();
  mail.push_back({id, Message("S_DREW", {Number(card)})});
  ToOthers(id, Message("S_ODREW", {Number(id)}), mail);
  if (cards_.Card(card).kind != kTrap) {
    player.hand.push_back(card);
    return std::nullopt;
  }
  ToOthers(id, Message("S_OPEN", {Number(id)}), mail);
  if (player.hand.empty()) {
    // Nothing to give up, and the client offers no way past a trap but a
    // discard: the trap costs nothing and the turn ends here.
    FinishTurn(mail);
  } else {
    turn_.trapOwed = true;
  }
  return std::nullopt;
}

std::optional<std::string> Game::ActionBlocked() const {
  if (!turn_.drew) return "has not drawn yet";
  if (turn_.trapOwed) return "owes a trap discard first";
  if (turn_.piled) return "has discarded this turn";
  if (turn_.wentOut) return "is back out of the cave";
  return std::nullopt;
}

Game::Refusal Game::Pile(int32_t id, std::string_view argument, Mail& mail) {
  auto refuse = [&](std::string why) -> Refusal {
    mail.push_back({id, Message("S_FPILE", {"1"})});
    return why;
  };
  if (over_ || id != turn_.player) {
    Reconcile(id, false, argument);
    return refuse("not this player's turn");
  }
  if (!turn_.drew) return refuse("has not drawn yet");
  if (turn_.piled) return refuse("has discarded this turn");
  if (turn_.wentOut) return refuse("is back out of the cave");
  Player& player = *Find(id);
  const auto cards = ParseNumbers(argument);
  if (!cards || cards->empty()) return refuse("wants card numbers");
  DiscardContext context;
  for (const int32_t card : player.hand) context.hand.push_back({card, cards_.Card(card).kind});
  for (const int32_t card : *cards) {
    const auto slot = std::find(player.hand.begin(), player.hand.end(), card);
    if (slot == player.hand.end()) return refuse("card " + Number(card) + " is not in the hand");
    const size_t row = static_cast<size_t>(slot - player.hand.begin());
    if (std::find(context.selectedRows.begin(), context.selectedRows.end(), row) !=
        context.selectedRows.end()) {
      return refuse("card " + Number(card) + " named twice");
    }
    context.selectedRows.push_back(row);
  }
  std::sort(context.selectedRows.begin(), context.selectedRows.end());
  context.trapPending = turn_.trapOwed;
  Marks used = player.used;
  Marks saved{};
  if (!DecideDiscard(context, used, saved).command) {
    return refuse(turn_.trapOwed ? "a trap takes three cards, a thief or a hand of fewer than three"
                                 : "a discard brings the unused hand down to exactly 7");
  }
  player.used = used;
  turn_.piled = true;
  turn_.trapOwed = false;
  std::vector<std::string> fields{Number(id)};
  for (const size_t row : context.selectedRows) fields.push_back(Number(player.hand[row]));
  mail.push_back({id, "S_PILED"});
  ToOthers(id, Message("S_OPILE", fields), mail);
  return std::nullopt;
}

Game::Refusal Game::EndTurn(int32_t id, Mail& mail) {
  if (over_ || id != turn_.player) return "not this player's turn";
  if (!turn_.drew) return "has not drawn yet";
  if (turn_.trapOwed) return "owes a trap discard first";
  FinishTurn(mail);
  return std::nullopt;
}

void Game::TimeOut(Mail& mail) {
  if (over_) return;
  const int32_t id = turn_.player;
  LateTurn late{*Find(id), turn_, {}};
  turn_.trapOwed = false;
  FinishTurn(mail);
  late.kept = Find(id)->hand;
  late_ = std::move(late);
  // The player's next turn may have begun at once (it plays alone).
  if (turn_.player == id && !over_) late_.reset();
}

void Game::FinishTurn(Mail& mail) {
  Player& player = *Find(turn_.player);
  std::vector<int32_t> kept;
  for (size_t slot = 0; slot < player.hand.size(); ++slot) {
    if (!player.used[slot]) kept.push_back(player.hand[slot]);
  }
  player.hand = std::move(kept);
  player.used = {};
  if (turn_.deckWasEmpty) player.hadLastTurn = true;
  ToAll(Message("S_TURNEND", {Number(player.id)}), mail);
  if (Finished()) {
    Announce(mail);
    return;
  }
  // The next player by ascending id, round again from the lowest.
  auto next = std::upper_bound(players_.begin(), players_.end(), player.id,
                               [](int32_t id, const Player& p) { return id < p.id; });
  for (size_t step = 0; step < players_.size(); ++step, ++next) {
    if (next == players_.end()) next = players_.begin();
    if (!next->out && !(deck_.empty() && next->hadLastTurn)) {
      BeginTurn(next->id, mail);
      return;
    }
  }
  Announce(mail);
}

bool Game::Finished() const {
  const bool allOut = std::all_of(players_.begin(), players_.end(), [](const Player& p) { return p.out; });
  const bool lastRoundDone =
      deck_.empty() &&
      std::all_of(players_.begin(), players_.end(), [](const Player& p) { return p.out || p.hadLastTurn; });
  return allOut || lastRoundDone;
}

void Game::Announce(Mail& mail) {
  over_ = true;
  std::vector<std::string> fields;
  for (const Player& player : players_) {
    const Result result{player.id, player.out ? player.treasure : 0};
    results_.push_back(result);
    fields.push_back(Record({Number(result.id), Number(result.amount)}));
  }
  ToAll(Message("S_RESULT", fields), mail);
}

}  // namespace gorvane::server
