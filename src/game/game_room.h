// The logic of one game window: the party's roster, the game and the
// window's console.
#pragma once

#include "core/TVR1Util.h"
#include "core/game_window.h"
#include "core/ports.h"

namespace gorvane {

class GameRoom : public GameWindow {
 public:
  // Start-up of a new window: asks the server for the party's roster.
  GameRoom(CommandSink& commands, Console& console);

  void createPartyList(std::string_view) override {}
  void RefreshPartyList() override {}
  void ChangeLeader(int32_t) override {}
  void addMyMember(int32_t, std::string_view) override {}
  void doRename(int32_t, std::string_view) override {}
  void GetHand(std::string_view) override {}
  void DispatchReady() override {}
  void DrowCard(int32_t) override {}
  void DispatchPlayed(std::string_view) override {}
  void DispatchUnplayed() override {}
  void DispatchPiled(int32_t) override {}
  void DispatchTurnend(int32_t) override {}
  void DispatchOtherTurn(int32_t) override {}
  void DispatchOtherDrowCard(int32_t) override {}
  void DispatchOtheropen(int32_t) override {}
  void DispatchOtherDice(int32_t, std::string_view) override {}
  void DispatchOtherPlay(int32_t, int32_t, std::string_view) override {}
  void DispatchTargetPlay(int32_t, int32_t) override {}
  void DispatchOtherPile(int32_t, std::string_view) override {}
  void ReachTreasure(int32_t, int32_t) override {}
  void ICanGetBack(int32_t) override {}
  void DispatchResult(std::string_view) override {}
  void DispatchQuitgame(int32_t) override {}
  void PrintMessage(std::string_view cp932Text, int kind) override { console_.Print(cp932Text, kind); }

 private:
  CommandSink& commands_;
  Console& console_;
};

}  // namespace gorvane
