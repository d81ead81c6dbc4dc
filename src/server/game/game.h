// SPDX-License-Identifier: GPL-3.0-or-later
// One party's game: the deck, the players' hands and journeys, the turn in
// progress and the judging of every draw, play, discard and turn end. Pure
// and deterministic: the only chance is the generator it is given, and what
// it has to say leaves as mail for the lobby to deliver.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "rules/card_catalogue.h"
#include "rules/game_state.h"
#include "rules/play_rules.h"

namespace gorvane::server {

// One message for one user.
struct Envelope {
  int32_t to = 0;
  std::string text;
  friend bool operator==(const Envelope&, const Envelope&) = default;
};
using Mail = std::vector<Envelope>;

// Hands hold at most as many cards as the client can show.
inline constexpr size_t kMaxHand = kHandSlots;
inline constexpr size_t kFirstHand = 7;
inline constexpr int32_t kTreasureDistance = 100;

struct Player {
  int32_t id = 0;
  std::vector<int32_t> hand;      // card numbers, in hand order
  Marks used{};                   // played or discarded this turn; leave at the turn end
  std::vector<int32_t> corridor;  // values of the corridor cards on the current leg
  int32_t distance = 0;
  bool atTreasure = false;  // in the treasure room, not yet on the way back
  bool returning = false;
  bool out = false;  // back out of the cave: keeps the treasure, no more turns
  int32_t treasure = 0;
  int32_t monster = -1;
  bool hadLastTurn = false;  // has had a turn that began with the deck empty
};

struct Turn {
  int32_t player = 0;
  bool drew = false;
  bool trapOwed = false;
  bool piled = false;
  bool wentOut = false;
  bool revived = false;
  bool deckWasEmpty = false;
  PlayKind playKind = PlayKind::NoPlay;  // the last accepted play of this turn
  // Card 58 was in a play the player sent this turn, accepted or not: as
  // on the player's own screen, every fight won from then on charms.
  bool charmCast = false;
  int32_t charmed = -1;  // a monster won by charm, to send on this turn
  Marks fought{};        // slots that fought this turn
};

struct Result {
  int32_t id = 0;
  int32_t amount = 0;
};

// Every card of the catalogue, shuffled.
std::vector<int32_t> ShuffledDeck(const CardCatalogue& cards, std::mt19937& rng);

class Game {
 public:
  // Why a command was refused, for the log; nothing when it was taken.
  using Refusal = std::optional<std::string>;

  // players: the party's user ids; the deck is listed top card first.
  Game(const CardCatalogue& cards, std::mt19937& rng, std::vector<int32_t> players, int32_t leader,
       std::vector<int32_t> deck);

  // Deals the first hands and begins the leader's turn.
  void Start(Mail& mail);

  Refusal Draw(int32_t id, Mail& mail);
  Refusal Play(int32_t id, std::string_view argument, Mail& mail);
  Refusal Pile(int32_t id, std::string_view argument, Mail& mail);
  Refusal EndTurn(int32_t id, Mail& mail);
  // The turn has run too long: it ends as a turn end would, before the draw
  // or with a trap discard owed (which is forgiven) as well.
  void TimeOut(Mail& mail);

  bool over() const { return over_; }
  const std::vector<Result>& results() const { return results_; }
  const std::vector<Player>& players() const { return players_; }
  const Player* FindPlayer(int32_t id) const;
  const Turn& turn() const { return turn_; }
  // Counts the turns begun, so that a new turn can be told from the old.
  uint64_t turnNumber() const { return turnNumber_; }
  const std::deque<int32_t>& deck() const { return deck_; }

 private:
  Player* Find(int32_t id);
  void ToOthers(int32_t id, const std::string& text, Mail& mail) const;
  void ToAll(const std::string& text, Mail& mail) const;
  // Why the current player may not play or discard now.
  std::optional<std::string> ActionBlocked() const;
  void FinishTurn(Mail& mail);
  void BeginTurn(int32_t id, Mail& mail);
  bool Finished() const;
  void Announce(Mail& mail);

  // Play, in steps.
  struct PlayRequest;
  // The request's cards found in the hand, in hand order; why not.
  static std::optional<std::string> FindRows(const Player& player, PlayRequest& request);
  // What the client's play rules see of the player and the turn.
  PlayContext ContextFor(const Player& player, const PlayRequest& request, const Turn& turn) const;
  // The command the client's rules make of the request.
  static std::string Whole(const Player& player, const PlayRequest& request, const Turn& turn);
  Refusal JudgePlay(const Player& player, PlayRequest& request) const;
  void ApplyPlay(Player& player, const PlayRequest& request, Mail& mail);
  std::vector<int32_t> Fight(Player& player, const PlayRequest& request);
  void ArriveOrReturn(Player& player, bool wasAtTreasure, Mail& mail);
  // A play or discard from the player whose turn the server ended, sent
  // before it heard so: on its screen the cards left its hand with the turn
  // end, and so they leave the hand here.
  void Reconcile(int32_t id, bool play, std::string_view argument);

  const CardCatalogue& cards_;
  std::mt19937& rng_;
  std::vector<Player> players_;  // ascending ids
  int32_t leader_;
  std::deque<int32_t> deck_;
  Turn turn_;
  uint64_t turnNumber_ = 0;
  // The turn last ended by the server, as it stood, and the hand it left;
  // kept until that player's first late command or its next turn.
  struct LateTurn {
    Player player;
    Turn turn;
    std::vector<int32_t> kept;
  };
  std::optional<LateTurn> late_;
  bool over_ = false;
  std::vector<Result> results_;
};

}  // namespace gorvane::server
