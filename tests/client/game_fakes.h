// SPDX-License-Identifier: GPL-3.0-or-later
// A game room wired to fakes of the lobby, the console and the window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../rules/card_fakes.h"
#include "../spine/fakes.h"
#include "client/game_room.h"

namespace gorvane::testing {

struct RecordingCommands : CommandSink {
  std::vector<std::string> sent;
  void SendCommand(std::string_view kind, std::string_view argument) override {
    sent.push_back(std::string(kind) + " " + std::string(argument));
  }
};

struct RecordingView : GameView {
  std::vector<unsigned> redraws;
  // Whether a part was redrawn since the last Forget().
  bool Redrew(unsigned part) const {
    for (unsigned parts : redraws) {
      if (parts & part) return true;
    }
    return false;
  }
  void Forget() { redraws.clear(); }
  void Redraw(unsigned parts) override { redraws.push_back(parts); }
};

struct RoomFixture {
  RecordingCommands commands;
  FakeDebugLog debugLog;
  CardCatalogue catalogue;
  int32_t myId = 5;
  FakeConsole consoleView;
  FixedClock clock;
  Console console{consoleView, clock};
  RecordingView view;
  GameRoom room{LobbyLinks{commands, debugLog, catalogue, [this] { return myId; }}, console, view};

  // Console lines without their timestamp.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    for (const auto& line : consoleView.lines) lines.push_back(line.text.substr(11));
    return lines;
  }
};

}  // namespace gorvane::testing
