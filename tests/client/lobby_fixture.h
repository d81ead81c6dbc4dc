// The lobby logic with fakes for its ports: a recording pause, a game
// window that notes what the lobby tells it, and a window that notes what
// the lobby shows.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../spine/fakes.h"
#include "client/lobby.h"

namespace gorvane::testing {

namespace fs = std::filesystem;

struct RecordingPause : Pause {
  std::vector<std::string>* wire = nullptr;
  std::vector<size_t> atSend;  // how many commands had been sent at each pause
  FakeTransport* transport = nullptr;
  void Wait(int milliseconds) override {
    EXPECT_EQ(milliseconds, 300);
    atSend.push_back(transport->sends.size());
  }
};

// Notes only what the lobby itself tells a game window.
struct NullGame : GameWindow {
  std::vector<std::pair<int32_t, std::string>> added;
  std::vector<std::pair<int32_t, std::string>> renamed;
  void addMyMember(int32_t user, std::string_view name) override { added.emplace_back(user, name); }
  void doRename(int32_t user, std::string_view name) override { renamed.emplace_back(user, name); }
};

struct FakeView : LobbyView {
  std::optional<bool> online;
  std::string label2;
  std::optional<std::string> edit2;
  std::vector<std::string> captions;
  std::vector<std::unique_ptr<NullGame>> games;
  void ShowOnline(bool on) override { online = on; }
  void ShowLabel2(std::string_view text) override { label2 = text; }
  void ShowEdit2(std::string_view text) override { edit2 = text; }
  GameWindow& OpenGameWindow(std::string_view caption) override {
    captions.emplace_back(caption);
    games.push_back(std::make_unique<NullGame>());
    return *games.back();
  }
};

class LobbyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("gorvane_lobby_" + std::to_string(::getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    pause.transport = &transport;
    std::ofstream(dir / "longcardlist.txt", std::ios::binary) << "g001 L Road 0 0 10\r\n";
  }
  void TearDown() override { fs::remove_all(dir); }

  void WriteSettings(const std::string& bytes) { std::ofstream(dir / "tvr1.ini", std::ios::binary) << bytes; }
  std::string ReadSettings() {
    std::ifstream in(dir / "tvr1.ini", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string CardListPath() const { return (dir / "longcardlist.txt").string(); }
  Lobby& Make() {
    lobby = std::make_unique<Lobby>(Lobby::Ports{transport, debugLog, errorBox, console, pause, view},
                                    (dir / "tvr1.ini").string(), CardListPath());
    lobby->FormCreate();
    return *lobby;
  }
  // Connects and lets the server's messages arrive.
  void Connect() {
    lobby->Button1Click();
    transport.isActive = transport.isConnected = true;
    lobby->ClientSocket1Connect();
  }
  void Receive(const std::string& messages) { lobby->ClientSocket1Read(messages); }
  std::vector<std::string> Sent() const {
    std::vector<std::string> out;
    for (const auto& s : transport.sends) out.push_back(s.substr(0, s.size() - 1));
    return out;
  }
  std::string LastLine() const {
    return consoleView.lines.empty() ? "" : consoleView.lines.back().text.substr(11);
  }

  fs::path dir;
  FakeTransport transport;
  FakeDebugLog debugLog;
  FakeErrorBox errorBox;
  FakeConsole consoleView;
  FixedClock clock;
  Console console{consoleView, clock};
  RecordingPause pause;
  FakeView view;
  std::unique_ptr<Lobby> lobby;
};

}  // namespace gorvane::testing
