// SPDX-License-Identifier: GPL-3.0-or-later
#include "spine/session.h"

#include <exception>

#include "spine/codec.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane {

std::string EncodeCommand(std::string_view kind, int32_t id, std::string_view argument) {
  std::string wire;
  wire.reserve(kind.size() + argument.size() + 14);
  wire.append(kind);
  wire += ' ';
  wire += std::to_string(id);
  wire += ' ';
  wire.append(argument);
  wire += '\0';
  return wire;
}

std::string ShownCommand(std::string_view wire) {
  std::string shown(TrimMessage(wire));
  // A login's password would be on screen, in screenshots and streams:
  // "G_LOGIN id login password" shows the same number of stars for any.
  if (!shown.starts_with("G_LOGIN ")) return shown;
  size_t at = 0;
  for (int blank = 0; blank < 3 && at != std::string::npos; ++blank) at = shown.find(' ', at + 1);
  if (at != std::string::npos) shown.replace(at + 1, std::string::npos, "********");
  return shown;
}

void Session::SendCommand(std::string_view kind, std::string_view argument) {
  if (!transport_.active()) return;
  const std::string wire = EncodeCommand(kind, myId, argument);
  transport_.Send(wire);
  debugLog_.AppendLine("DEBUG: SEND: " + ShownCommand(wire));
}

void Session::ReceiveBytes(std::string_view bytes, const FieldsDispatch& dispatch) {
  std::string line;
  const auto result = framer_.Feed(bytes, [&](std::string_view text, const FieldList* fields) {
    line.assign("DEBUG: ");
    line.append(text);
    debugLog_.AppendLine(line);
    try {
      dispatch(text, fields);
    } catch (const FieldError& error) {
      errorBox_.ShowError(error.what());
    } catch (const std::exception& error) {
      // Whatever else one handler throws ends only that handler: the
      // program and the messages after this one go on.
      debugLog_.AppendLine("Error: Handler: " + std::string(error.what()) + ": " + std::string(text));
    } catch (...) {
      debugLog_.AppendLine("Error: Handler: " + std::string(text));
    }
  });
  if (result == MessageFramer::Result::kOverflow) {
    lobbyConsole_.AppendConsoleLine(
        "SYS: サーバから終端のない長すぎるデータを受信したため切断しました．"_cp932, kRed);
    transport_.Close();
  }
}

}  // namespace gorvane
