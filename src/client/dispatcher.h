// Routes every server message to its handler: the route table and the
// handlers are in dispatcher.cpp. Most handlers call the lobby through
// DispatchTarget or the current game window through GameWindow.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "client/game_window.h"
#include "spine/codec.h"
#include "spine/ports.h"

namespace gorvane {

class Lobby;

// What the dispatcher needs of the lobby window that owns it.
class DispatchTarget : public CommandSink {
 public:
  virtual ~DispatchTarget() = default;

  // The lobby behind the target, for a handler beside the route table that
  // needs more than the operations below; a fake target has none.
  virtual Lobby* lobby() { return nullptr; }

  // Session values.
  virtual int32_t myId() const = 0;
  virtual void setMyId(int32_t id) = 0;
  virtual int32_t myPartyNo() const = 0;
  virtual void setMyPartyNo(int32_t number) = 0;

  // Profile values (code page 932).
  virtual const std::string& displayName() const = 0;
  virtual const std::string& loginName() const = 0;
  virtual const std::string& password() const = 0;

  virtual void PrintLobbyMessage(std::string_view cp932Text, int kind) = 0;
  virtual void AppendDebugLine(std::string_view cp932Line) = 0;
  virtual void SetMenusOffline() = 0;

  // Lobby lists.
  virtual void RequestLobbyLists() = 0;
  virtual void createUserList(std::string_view text) = 0;
  virtual void RefreshUserList() = 0;
  virtual void createGroupList(std::string_view text) = 0;
  virtual void RefreshGroupList() = 0;
  virtual void DispatchQuit(int32_t userId) = 0;

  // Lobby commands.
  virtual void DispatchUserInfo(std::string_view commaText) = 0;
  virtual void DispatchOtherJoin(int32_t userId, int32_t partyNo) = 0;
  virtual void DispatchRename(int32_t userId, std::string_view name) = 0;
  virtual void DispatchPartyLeave(int32_t userId, int32_t partyNo) = 0;

  // The game window opened last, or nullptr before the first.
  virtual GameWindow* currentGameWindow() = 0;
  // Creates, shows and titles a new game window and makes it current.
  virtual void OpenGameWindow() = 0;
};

void DispatchServerMessage(std::string_view text, DispatchTarget& target);
// The same with the fields the framing found for the text (nullptr: split
// the text), in field storage the caller keeps from one message to the next.
void DispatchServerMessage(std::string_view text, const FieldList* found, DispatchTarget& target,
                           FieldViews& fields);

}  // namespace gorvane
