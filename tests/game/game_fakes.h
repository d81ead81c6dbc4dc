// A game room wired to fakes of the lobby, the console and the window.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../core/fakes.h"
#include "game/game_room.h"

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

// Writes bytes to a file of its own under the temporary directory and
// removes it again.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    // Unique among the files alive at the same time.
    path_ =
        std::filesystem::temp_directory_path() / ("gorvane_cards_" + std::to_string(::getpid()) + "_" +
                                                  std::to_string(reinterpret_cast<uintptr_t>(this)) + ".txt");
    std::ofstream(path_, std::ios::binary) << bytes;
  }
  ~TempFile() { std::filesystem::remove(path_); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// A catalogue loaded from the given card list bytes.
inline void LoadCards(CardCatalogue& catalogue, const std::string& bytes) {
  TempFile file(bytes);
  FakeErrorBox errors;
  FakeDebugLog log;
  catalogue.LoadCardList(file.path(), errors, log);
}

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
