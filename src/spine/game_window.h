// What the dispatcher calls on the current game window. The game window's
// logic implements it; the handlers named here follow the game's events.
#pragma once

#include <cstdint>
#include <string_view>

namespace gorvane {

class GameWindow {
 public:
  virtual ~GameWindow() = default;

  // Roster.
  virtual void createPartyList(std::string_view commaText) = 0;
  virtual void RefreshPartyList() = 0;
  virtual void ChangeLeader(int32_t userId) = 0;
  // Another user joined the own party (the lobby knows the name).
  virtual void addMyMember(int32_t userId, std::string_view name) = 0;
  // A member changed name.
  virtual void doRename(int32_t userId, std::string_view name) = 0;

  // The own hand and turn.
  virtual void GetHand(std::string_view commaText) = 0;
  virtual void DispatchReady() = 0;
  virtual void DrowCard(int32_t card) = 0;
  virtual void DispatchPlayed(std::string_view commaText) = 0;
  virtual void DispatchUnplayed() = 0;
  virtual void DispatchPiled(int32_t code) = 0;
  virtual void DispatchTurnend(int32_t userId) = 0;

  // Other members.
  virtual void DispatchOtherTurn(int32_t userId) = 0;
  virtual void DispatchOtherDrowCard(int32_t userId) = 0;
  virtual void DispatchOtheropen(int32_t userId) = 0;
  virtual void DispatchOtherDice(int32_t userId, std::string_view commaText) = 0;
  virtual void DispatchOtherPlay(int32_t playerId, int32_t targetId, std::string_view commaText) = 0;
  virtual void DispatchTargetPlay(int32_t playerId, int32_t card) = 0;
  virtual void DispatchOtherPile(int32_t userId, std::string_view commaText) = 0;

  // Treasure, return and the end of a game.
  virtual void ReachTreasure(int32_t userId, int32_t amount) = 0;
  virtual void ICanGetBack(int32_t userId) = 0;
  virtual void DispatchResult(std::string_view commaText) = 0;
  virtual void DispatchQuitgame(int32_t userId) = 0;

  // The game console.
  virtual void PrintMessage(std::string_view cp932Text, int kind) = 0;
};

}  // namespace gorvane
