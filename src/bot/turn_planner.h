// SPDX-License-Identifier: GPL-3.0-or-later
// How a headless player plays its turns: it looks at the game window's
// logic the way a user looks at the window, picks rows and a button, and
// checks a play with the client's own rules before it clicks. Simple on
// purpose, but over a game it makes every kind of play there is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "client/game_room.h"
#include "rules/card_catalogue.h"
#include "rules/game_state.h"

namespace gorvane::bot {

enum class Button { kDraw, kPlay, kPile, kTurnEnd };

// One click as a user makes it: the selections first, then the button.
struct Click {
  Button button = Button::kDraw;
  std::vector<size_t> handRows;     // rows of HandList to select, ascending
  std::optional<size_t> memberRow;  // the row of MemberList to select
  bool charmBox = false;            // the row of CharmBox selected
};

// What the player's plays and discards came to, as the server answered them.
struct PlayCounts {
  std::map<PlayKind, int> accepted;  // by the kind the client sent
  int unplayed = 0;                  // plays the server refused
  int handDiscards = 0;              // down to seven
  int trapDiscards = 0;
  int refusedDiscards = 0;
};

// Presses the click on the room as a user would: the selections first,
// then the button.
void PressClick(GameRoom& room, const Click& click);

// The planner of strength 2, and the base the other strengths change it
// from: the bookkeeping of a turn stays one, the choices differ.
class TurnPlanner {
 public:
  explicit TurnPlanner(const CardCatalogue& cards) : cards_(cards) {}
  virtual ~TurnPlanner() = default;
  TurnPlanner(const TurnPlanner&) = delete;
  TurnPlanner& operator=(const TurnPlanner&) = delete;

  // Every server message, after the room has handled it.
  void Observe(std::string_view message, const GameRoom& room, int32_t myId);
  // The next click of the own turn; nothing when there is none to make now.
  std::optional<Click> Next(const GameRoom& room, int32_t myId);
  // The click was made; sent is false when the client refused it itself.
  void Clicked(const Click& click, bool sent);

  const PlayCounts& counts() const { return counts_; }
  // Members back out of the cave in this game.
  const std::set<int32_t>& outMembers() const { return out_; }

 protected:
  struct Turn {
    int clicks = 0;
    int corridors = 0;
    int monstersSent = 0;
    bool revived = false;
    int refusedPiles = 0;
    // Plays refused (locally or by the server) as they were tried: the same
    // selection in the same state is not tried twice.
    std::set<std::string> refused;
  };
  struct Slot {
    size_t row = 0;
    int32_t card = 0;
    const card_t* info = nullptr;
    bool marked = false;
  };

  std::vector<Slot> Hand(const GameRoom& room, const party_t& own) const;
  // The next play of the turn; nothing: the plays are over.
  virtual std::optional<Click> ChoosePlay(const GameRoom& room, const party_t& own, int32_t myId);
  std::optional<Click> Fight(const GameRoom& room, const std::vector<Slot>& hand, const party_t& own,
                             int32_t myId, bool onlyWhenLikely);
  std::optional<Click> Revive(const GameRoom& room, const std::vector<Slot>& hand, int32_t myId);
  // Members who may take a monster, best target first.
  virtual std::vector<size_t> MonsterTargets(const GameRoom& room, int32_t myId) const;
  // The click, when it was not refused before and passes; it becomes the
  // play the next refusal is about.
  std::optional<Click> Try(const GameRoom& room, int32_t myId, const Click& click);
  // Whether the client's rules send exactly this selection, and the
  // server's own checks that the planner knows of hold.
  bool Passes(const GameRoom& room, int32_t myId, const Click& click) const;
  std::string Key(const GameRoom& room, const Click& click) const;
  virtual std::optional<Click> Discard(const GameRoom& room, const party_t& own);
  virtual std::optional<Click> TrapDiscard(const GameRoom& room, const party_t& own);
  // How much a card is worth keeping; the lowest go first.
  virtual double KeepScore(const Slot& slot) const;

  const CardCatalogue& cards_;
  Turn turn_;
  std::set<int32_t> out_;
  PlayCounts counts_;
  std::optional<std::string> lastPlayKey_;
};

}  // namespace gorvane::bot
