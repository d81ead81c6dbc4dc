// What the dispatcher calls on the current game window. The game window's
// logic implements it; the handlers named here follow the game's events.
// Each does nothing unless overridden, so a fake window overrides only the
// events its test looks at.
#pragma once

#include <cstdint>
#include <string_view>

namespace gorvane {

class GameRoom;

class GameWindow {
 public:
  virtual ~GameWindow() = default;

  // The room behind the window, for a handler beside the route table that
  // needs more than these events (the room's state and its public
  // operations); a fake window has none.
  virtual GameRoom* room() { return nullptr; }

  // Roster.
  virtual void createPartyList(std::string_view /*commaText*/) {}
  virtual void RefreshPartyList() {}
  virtual void ChangeLeader(int32_t /*userId*/) {}
  // Another user joined the own party (the lobby knows the name).
  virtual void addMyMember(int32_t /*userId*/, std::string_view /*name*/) {}
  // A member changed name.
  virtual void doRename(int32_t /*userId*/, std::string_view /*name*/) {}

  // The own hand and turn.
  virtual void GetHand(std::string_view /*commaText*/) {}
  virtual void DispatchReady() {}
  virtual void DrowCard(int32_t /*card*/) {}
  virtual void DispatchPlayed(std::string_view /*commaText*/) {}
  virtual void DispatchUnplayed() {}
  virtual void DispatchPiled(int32_t /*code*/) {}
  virtual void DispatchTurnend(int32_t /*userId*/) {}

  // Other members.
  virtual void DispatchOtherTurn(int32_t /*userId*/) {}
  virtual void DispatchOtherDrowCard(int32_t /*userId*/) {}
  virtual void DispatchOtheropen(int32_t /*userId*/) {}
  virtual void DispatchOtherDice(int32_t /*userId*/, std::string_view /*commaText*/) {}
  virtual void DispatchOtherPlay(int32_t /*playerId*/, int32_t /*targetId*/, std::string_view /*commaText*/) {
  }
  virtual void DispatchTargetPlay(int32_t /*playerId*/, int32_t /*card*/) {}
  virtual void DispatchOtherPile(int32_t /*userId*/, std::string_view /*commaText*/) {}

  // Treasure, return and the end of a game.
  virtual void ReachTreasure(int32_t /*userId*/, int32_t /*amount*/) {}
  virtual void ICanGetBack(int32_t /*userId*/) {}
  virtual void DispatchResult(std::string_view /*commaText*/) {}
  virtual void DispatchQuitgame(int32_t /*userId*/) {}

  // The game console.
  virtual void PrintMessage(std::string_view /*cp932Text*/, int /*kind*/) {}
};

}  // namespace gorvane
