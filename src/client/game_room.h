// SPDX-License-Identifier: GPL-3.0-or-later
// The logic of one game window: the party's roster, the game, the player's
// hand, and the state of the window's controls.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "client/chat_line.h"
#include "client/game_screen.h"
#include "client/game_window.h"
#include "client/party_roster.h"
#include "rules/card_catalogue.h"
#include "rules/game_state.h"
#include "rules/play_rules.h"
#include "spine/TVR1Util.h"
#include "spine/ports.h"

namespace gorvane {

// What a game window uses of the lobby that owns it.
struct LobbyLinks {
  CommandSink& commands;
  DebugLog& debugLog;
  const CardCatalogue& catalogue;
  // Read at each use: the own id is the session's, not the window's.
  std::function<int32_t()> myId;
};

class GameRoom : public GameWindow {
 public:
  // Start-up of a new window: a clean game and an empty roster, and the
  // server is asked for the party's roster.
  GameRoom(LobbyLinks lobby, Console& console, GameView& view);
  // The screen's rows are made from this room's own state.
  GameRoom(const GameRoom&) = delete;
  GameRoom& operator=(const GameRoom&) = delete;

  GameRoom* room() override { return this; }

  // Roster.
  void createPartyList(std::string_view commaText) override;
  void RefreshPartyList() override;
  void ChangeLeader(int32_t userId) override;
  void addMyMember(int32_t userId, std::string_view name) override;
  void doRename(int32_t userId, std::string_view name) override;
  void quitMember(int32_t userId);
  std::string MemberName(int32_t userId) const { return roster_.MemberName(userId); }

  // The hand.
  void GetHand(std::string_view commaText) override;
  void ShowHand();
  // The first count slots are the new hand.
  void TakeHand(size_t count);

  // The user's selections, from the window.
  void HandListSelect(size_t row, bool selected) { screen_.handList.Select(row, selected); }
  void MemberListSelect(std::optional<size_t> row) { screen_.memberSelection = row; }

  const GameScreen& screen() const { return screen_; }
  GameScreen& screen() { return screen_; }
  const PartyRoster& roster() const { return roster_; }
  PartyRoster& roster() { return roster_; }
  const GameState& state() const { return state_; }
  GameState& state() { return state_; }

  // The own turn as the server reports it.
  void DispatchReady() override;
  void DrowCard(int32_t card) override;
  void DispatchPlayed(std::string_view diceText) override;
  void DispatchUnplayed() override;
  void DispatchPiled(int32_t result) override;
  void DispatchTurnend(int32_t userId) override;
  void DiscardUsedCards();

  // The player's actions.
  void Button1Click();  // draw
  void Button2Click();  // end the turn
  void Button3Click();  // play
  void Button4Click();  // discard
  void S1Click();       // start the game
  void R1Click();       // refresh the member list
  void FormClose();     // leave the party
  void CharmBoxSelect(size_t row, bool selected) { screen_.charmBox.Select(row, selected); }
  // The party chat line.
  void Edit1Change(std::string cp932Text) { chat_.Edited(std::move(cp932Text)); }
  void Edit1KeyDown(int key);
  static bool Edit1KeyPress(int key) { return key != kEnterKey; }
  const std::string& edit1Text() const { return chat_.text(); }

  // Other members' turns.
  void DispatchOtherTurn(int32_t userId) override;
  void DispatchOtherDrowCard(int32_t userId) override;
  void DispatchOtheropen(int32_t userId) override;
  void DispatchOtherDice(int32_t userId, std::string_view diceText) override;
  void DispatchOtherPlay(int32_t playerId, int32_t targetId, std::string_view cardsText) override;
  void DispatchTargetPlay(int32_t playerId, int32_t card) override;
  void DispatchOtherPile(int32_t userId, std::string_view cardsText) override;

  // Treasure, the way out and the end of a game.
  void ReachTreasure(int32_t userId, int32_t amount) override;
  void ICanGetBack(int32_t userId) override;
  void DispatchResult(std::string_view commaText) override;
  void DispatchQuitgame(int32_t userId) override;
  enum class ResetForm { kResults, kQuit };
  void ResetGameState(ResetForm form);

  void PrintMessage(std::string_view cp932Text, int kind) override {
    console_.AppendConsoleLine(cp932Text, kind);
  }
  // A console line put together from parts, in a buffer kept for the next.
  template <typename... Parts>
  void PrintLine(int kind, const Parts&... parts) {
    line_.clear();
    (line_.append(std::string_view(parts)), ...);
    PrintMessage(line_, kind);
  }

 private:
  int32_t myId() const { return lobby_.myId(); }
  void SetButtons(bool draw, bool play, bool pile, bool turnEnd);
  // A corridor or charm-box entry: "name(value)".
  std::string CardLabel(int32_t card) const;
  std::string DistanceCaption(const party_t& own) const;
  // The hand as the play and discard rules see it.
  std::vector<HandSlot> HandSlots();
  // Slots of the hand in use: the own member's hand count, within the slots.
  size_t HandCount();

  LobbyLinks lobby_;
  Console& console_;
  GameView& view_;
  PartyRoster roster_;
  GameState state_;
  GameScreen screen_;
  // Who the last monster play went to, fixed when it was sent: the
  // member list's selection may have moved by the time the answer comes.
  std::optional<int32_t> monsterTarget_;
  ChatLine chat_;
  // The hand as ShowHand last showed it, for the hand list's rows.
  struct ShownHand {
    std::array<int32_t, kHandSlots> cards{};
    std::array<bool, kHandSlots> marks{};
    size_t count = 0;
  };
  ShownHand shownHand_;
  std::string line_;
};

}  // namespace gorvane
