// SPDX-License-Identifier: GPL-3.0-or-later
// The session's wire: sending commands and receiving messages on the one
// connection the lobby window owns.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "spine/TVR1Util.h"
#include "spine/framing.h"
#include "spine/ports.h"

namespace gorvane {

// "KIND id argument" + NUL, the id in decimal.
std::string EncodeCommand(std::string_view kind, int32_t id, std::string_view argument);
// A command as the debug log shows it: trimmed as received text is, and a
// login's password hidden.
std::string ShownCommand(std::string_view wire);

class Session {
 public:
  // A dispatch takes the message with its comma fields as the framing found
  // them (FieldViews::Adopt), or nullptr where it splits the text.
  using FieldsDispatch = std::function<void(std::string_view text, const FieldList* fields)>;

  Session(Transport& transport, DebugLog& debugLog, ErrorBox& errorBox, Console& lobbyConsole)
      : transport_(transport), debugLog_(debugLog), errorBox_(errorBox), lobbyConsole_(lobbyConsole) {}

  // Sends one command in one write while the socket is active and echoes it
  // to the debug log; does nothing at all otherwise.
  void SendCommand(std::string_view kind, std::string_view argument);

  // The receive loop: every complete message is echoed to the debug log and
  // dispatched, in order. A message whose fields are wrong shows the error
  // box and stops only its own handling; any other exception from a handler
  // leaves one debug-log line and stops only that message too. A peer that
  // sends more than the framing holds without a terminator is disconnected.
  void ReceiveBytes(std::string_view bytes, const FieldsDispatch& dispatch);

  // A new connection must not see the tail of the previous one.
  void ResetFraming() { framer_.Reset(); }

  int32_t myId = 0;
  int32_t myPartyNo = 0;

 private:
  Transport& transport_;
  DebugLog& debugLog_;
  ErrorBox& errorBox_;
  Console& lobbyConsole_;
  MessageFramer framer_;
};

}  // namespace gorvane
