// SPDX-License-Identifier: GPL-3.0-or-later
// A headless player for tests and the benchmark: follows its own game from
// the server's messages, as the game window does, and picks legal moves with
// the client's play and discard rules.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "rules/card_catalogue.h"
#include "rules/play_rules.h"

namespace gorvane::testing {

struct Move {
  std::string kind;
  std::string argument;
};

class ScriptedPlayer {
 public:
  ScriptedPlayer(const CardCatalogue& cards, int32_t myId, std::vector<int32_t> members);

  // One message from the server, trimmed.
  void Receive(std::string_view message);
  // The next command when it is this player's move and no answer is awaited.
  std::optional<Move> NextMove();

  int32_t id() const { return myId_; }
  const std::vector<int32_t>& hand() const { return hand_; }
  const Marks& marks() const { return state_.usedMarks; }
  int32_t distance() const { return distance_; }
  int32_t monster() const { return monster_; }
  size_t corridorCount() const { return corridor_.size(); }
  bool out() const { return out_; }
  int32_t treasure() const { return treasure_; }
  // Hand sizes of the other members as their reports tell them.
  int32_t HandCountOf(int32_t member) const;
  std::optional<std::string> result() const { return result_; }
  int refusals() const { return refusals_; }

 private:
  enum class Pending { kNone, kDraw, kPlay, kPile, kTurnEnd };

  std::optional<Move> TryPlay();
  std::optional<Move> Discard();
  std::optional<Move> Send(std::vector<size_t> rows, std::optional<int32_t> target);
  void Played(const std::vector<int32_t>& dice);
  void TurnEnded();
  std::vector<size_t> Rows(std::string_view kinds, bool marked) const;

  const CardCatalogue* cards_;
  int32_t myId_;
  std::vector<int32_t> members_;
  std::vector<int32_t> hand_;
  PlayState state_;
  std::vector<int32_t> corridor_;
  int32_t distance_ = 0;
  int32_t monster_ = -1;
  bool atTreasure_ = false;
  bool returning_ = false;
  bool out_ = false;
  int32_t treasure_ = 0;
  // The turn.
  bool myTurn_ = false;
  bool drew_ = false;
  bool trap_ = false;
  bool piled_ = false;
  bool wentOut_ = false;
  Pending pending_ = Pending::kNone;
  std::optional<int32_t> lastTarget_;
  std::vector<int32_t> lastCards_;
  int32_t charmed_ = -1;
  std::set<std::string> tried_;
  // What the reports say of the others.
  std::map<int32_t, int32_t> monsters_;
  std::map<int32_t, std::vector<int32_t>> attached_;
  std::map<int32_t, int32_t> handCounts_;
  std::set<int32_t> outMembers_;
  std::optional<std::string> result_;
  int refusals_ = 0;
};

}  // namespace gorvane::testing
