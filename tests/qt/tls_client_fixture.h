// SPDX-License-Identifier: GPL-3.0-or-later
// The real lobby logic on the real socket link, in a folder of its own with
// its settings and key file, for tests of TLS connections against a server.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "../client/lobby_fixture.h"
#include "qt/server_link.h"
#include "spine/sjis.h"

namespace gorvane {

using namespace std::string_literals;
using testing::FakeConsole;
using testing::FakeDebugLog;
using testing::FakeErrorBox;
using testing::FakeView;
using testing::FixedClock;
namespace fs = std::filesystem;

struct NoPause : Pause {
  void Wait(int) override {}
};

// Notes, as the lobby says it is connected, whether the link is encrypted.
struct ConnectWatch : FakeConsole {
  ServerLink* link = nullptr;
  std::vector<bool> encryptedAtConnect;
  void AddLine(std::string_view line, Rgb colour) override {
    if (line.find("SYS: サーバに接続しました"_cp932) != std::string_view::npos) {
      encryptedAtConnect.push_back(link->encrypted());
    }
    FakeConsole::AddLine(line, colour);
  }
};

// The lobby dials 21012; the test's server is wherever the system put it.
struct OnPort : Transport {
  OnPort(Transport& inner, uint16_t port) : inner(inner), port(port) {}
  Transport& inner;
  uint16_t port;
  bool active() const override { return inner.active(); }
  bool connected() const override { return inner.connected(); }
  bool Start(const std::string& address, uint16_t) override { return inner.Start(address, port); }
  void Close() override { inner.Close(); }
  void Send(std::string_view bytes) override { inner.Send(bytes); }
  TlsOffer OfferTls(std::string_view key) override { return inner.OfferTls(key); }
};

// The real lobby logic on the real socket, in a folder of its own.
struct Client {
  explicit Client(uint16_t port, const std::string& address = "127.0.0.61")
      : dir(fs::temp_directory_path() / ("gorvane_tls_" + std::to_string(::getpid()) + "_" + address)) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(dir / "tvr1.ini", std::ios::binary) << "[Global]\r\nName=alice\r\nAddress=" << address
                                                      << "\r\n[Login]\r\nID=alice\r\nPassword=secret1\r\n";
    std::ofstream(dir / "longcardlist.txt", std::ios::binary) << "g001 L Road 0 0 10\r\n";
    link = std::make_unique<ServerLink>(KeysPath(), &owner);
    onPort = std::make_unique<OnPort>(link->transport(), port);
    console.link = link.get();
    lobby = std::make_unique<Lobby>(Lobby::Ports{*onPort, debugLog, errors, lobbyConsole, pause, view},
                                    (dir / "tvr1.ini").string(), (dir / "longcardlist.txt").string());
    link->Attach(*lobby);
    lobby->FormCreate();
  }
  ~Client() {
    lobby.reset();
    fs::remove_all(dir);
  }
  std::string KeysPath() const { return (dir / kServerKeysFile).string(); }
  std::string Keys() const {
    std::ifstream in(KeysPath(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool Says(const std::string& utf8) const {
    for (const auto& line : console.lines) {
      if (line.text.find(sjis::Text(utf8)) != std::string::npos) return line.colour == Rgb{0, 0, 0};
    }
    return false;
  }

  fs::path dir;
  QObject owner;
  std::unique_ptr<ServerLink> link;
  std::unique_ptr<OnPort> onPort;
  FakeDebugLog debugLog;
  FakeErrorBox errors;
  ConnectWatch console;
  FixedClock clock;
  Console lobbyConsole{console, clock};
  NoPause pause;
  FakeView view;
  std::unique_ptr<Lobby> lobby;
};

}  // namespace gorvane
