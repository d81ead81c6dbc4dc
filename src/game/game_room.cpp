#include "game/game_room.h"

namespace gorvane {

GameRoom::GameRoom(CommandSink& commands, Console& console) : commands_(commands), console_(console) {
  commands_.SendCommand("P_LIST", "*");
}

}  // namespace gorvane
