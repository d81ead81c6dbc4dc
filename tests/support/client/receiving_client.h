// SPDX-License-Identifier: GPL-3.0-or-later
// The client's receive side with nothing to draw on, for the fuzzer and the
// benchmarks: a real lobby whose socket is up, fed through the same receive
// path as the socket feeds it, and a real game room for every window it
// opens, with consoles, debug log and pauses that do nothing. Needs only
// the spine and client libraries, as the fuzz build has no others.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/game_room.h"
#include "client/lobby.h"
#include "spine/ports.h"

namespace gorvane::testing {

// A socket that is up and swallows what is sent; derive to look at it.
class UpTransport : public Transport {
 public:
  bool active() const override { return true; }
  bool connected() const override { return true; }
  bool Start(const std::string&, uint16_t) override { return true; }
  void Close() override {}
  void Send(std::string_view) override {}
};

// A game window's redraws with no window.
class SilentGameView : public GameView {
 public:
  void Redraw(unsigned) override {}
};

// View: the game rooms' view, made before its room; one with
// Show(const GameRoom&) is shown the room once the room is made.
template <typename View = SilentGameView>
class ReceivingClient : private LobbyView {
 public:
  // The transport and clock outlive the client.
  ReceivingClient(Transport& transport, const Clock& clock, Profile profile, std::string cardListPath)
      : clock_(clock),
        console_(consoleView_, clock),
        lobby_({transport, debugLog_, errorBox_, console_, pause_, *this}, std::move(profile),
               std::move(cardListPath)) {
    lobby_.FormCreate();
    lobby_.ClientSocket1Connect();
  }

  // One socket read.
  void Read(std::string_view bytes) { lobby_.ClientSocket1Read(bytes); }

  Lobby& lobby() { return lobby_; }
  // Error boxes shown so far: a message the client refused.
  int errors() const { return errorBox_.shown; }
  size_t roomCount() const { return rooms_.size(); }
  GameRoom& room(size_t i) { return rooms_[i]->room; }
  // The room opened last, or nullptr before the first.
  GameRoom* currentRoom() { return rooms_.empty() ? nullptr : &rooms_.back()->room; }

 private:
  struct SilentConsole : ConsoleView {
    void AddLine(std::string_view, Rgb) override {}
  };
  struct SilentDebugLog : DebugLog {
    void AppendLine(std::string_view) override {}
    void AppendLines(const std::vector<std::string>&) override {}
  };
  struct CountingErrorBox : ErrorBox {
    void ShowError(std::string_view) override { ++shown; }
    int shown = 0;
  };
  struct NoPause : Pause {
    void Wait(int) override {}
  };
  struct Room {
    Room(LobbyLinks links, ConsoleView& consoleView, const Clock& clock)
        : console(consoleView, clock), room(std::move(links), console, view) {
      if constexpr (requires { view.Show(room); }) view.Show(room);
    }
    Console console;
    View view;
    GameRoom room;
  };

  void ShowOnline(bool) override {}
  void ShowLabel2(std::string_view) override {}
  void ShowEdit2(std::string_view) override {}
  GameWindow& OpenGameWindow(std::string_view) override {
    rooms_.push_back(std::make_unique<Room>(
        LobbyLinks{lobby_, debugLog_, lobby_.cardCatalogue(), [this] { return lobby_.myId(); }}, consoleView_,
        clock_));
    return rooms_.back()->room;
  }

  const Clock& clock_;
  SilentConsole consoleView_;
  Console console_;
  SilentDebugLog debugLog_;
  CountingErrorBox errorBox_;
  NoPause pause_;
  Lobby lobby_;
  std::vector<std::unique_ptr<Room>> rooms_;
};

}  // namespace gorvane::testing
