// SPDX-License-Identifier: GPL-3.0-or-later
// Our client against our server over real TLS on loopback: the server's own
// self-signed pair, the client's own socket link and key file. A first
// contact upgrades before it sends a byte and logs in encrypted; a changed
// key or a server without TLS at a pinned address reaches nothing; a server
// without TLS at a new address sees what a client without TLS would send.
#include <gtest/gtest.h>

#include <QTest>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "../qt/tls_client_fixture.h"
#include "e2e_support.h"
#include "server/store/accounts.h"

namespace gorvane::e2e {
namespace {

constexpr const char* kAddress = "127.0.0.73";

// A server on a thread of its own, its accounts (alice's among them) and its
// self-signed pair in a folder of its own, while the test's thread runs the
// client's event loop.
class TlsServer {
 public:
  TlsServer(const std::string& folder, bool tls)
      : database_(Prepare(folder)), server_(kAddress, 3, [&](server::ServerOptions& options) {
          options.databasePath = database_;
          options.tlsSelfSigned = tls;
        }) {
    thread_ = std::thread([this] {
      while (!stop_) server_.server().RunOnce(2);
    });
  }
  ~TlsServer() {
    stop_ = true;
    thread_.join();
  }
  std::string fingerprint() { return server_.server().tlsFingerprint(); }
  uint64_t commandsIn() { return server_.server().counters().messagesIn; }
  bool Exposes(const std::string& line) {
    return server_.server().metrics().Exposition().find(line + "\n") != std::string::npos;
  }

 private:
  static std::string Prepare(const std::string& folder) {
    // Kept from case to case: the self-signed pair is made once per folder.
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/accounts.db";
    std::string error;
    const auto store = server::AccountStore::Open(path, error);
    EXPECT_TRUE(store && store->SetPassword("alice", "secret1", error)) << error;
    return path;
  }

  std::string database_;
  LocalServer server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// What the client showed and sent, for a failure's message.
std::string Transcript(const Client& client) {
  std::string text;
  for (const auto& line : client.console.lines) text += sjis::ToUtf8(line.text) + "\n";
  for (const auto& line : client.debugLog.lines) text += sjis::ToUtf8(line) + "\n";
  for (const auto& box : client.errors.shown) text += "box: " + sjis::ToUtf8(box) + "\n";
  return text;
}

const std::string kLoggedIn = "SYS: 認証に成功しました．";

TEST(TlsSession, OurClientPinsOurServerAndRefusesWhatDoesNotMatch) {
  const std::string base =
      std::filesystem::temp_directory_path() / ("gorvane_tls_e2e_" + std::to_string(::getpid()));
  std::string pinned;
  std::string keys;  // the client's key file as the last case left it
  struct Case {
    const char* name;
    bool tls;         // the server speaks TLS
    bool newKey;      // its pair is not the one before
    bool forgetPins;  // the client's key file removed first
    const char* box;  // what the box says; nullptr: the login goes through
    bool encrypted;   // the session that logs in is encrypted
  };
  const Case cases[] = {
      {"first contact upgrades", true, true, false, nullptr, true},
      {"same key again", true, false, false, nullptr, true},
      {"another key", true, true, false, "以前に記録した鍵と違います", false},
      {"no TLS at a pinned address", false, false, false, "暗号化通信の提供がありませんでした", false},
      {"no TLS at a new address", false, false, true, nullptr, false},
  };
  int pair = 0;
  for (int i = 1; i <= 3; ++i) std::filesystem::remove_all(base + "_" + std::to_string(i));
  for (const Case& c : cases) {
    if (c.newKey) ++pair;
    if (c.forgetPins) keys.clear();
    TlsServer server(base + "_" + std::to_string(pair), c.tls);
    Client client(21012, kAddress);
    if (!keys.empty()) std::ofstream(client.KeysPath(), std::ios::binary) << keys;
    client.lobby->Button1Click();
    const bool refused = c.box != nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return refused ? !client.errors.shown.empty() : client.Says(kLoggedIn); }, 10000))
        << c.name << "\n"
        << Transcript(client);
    if (refused) {
      QTest::qWait(200);  // room for a byte that should not come
      EXPECT_EQ(server.commandsIn(), 0u) << c.name << ": nothing is sent, G_LOGIN least of all";
      EXPECT_NE(client.errors.shown[0].find(sjis::Text(c.box)), std::string::npos) << c.name;
      EXPECT_NE(client.errors.shown[0].find(sjis::Text(pinned)), std::string::npos) << c.name;
      EXPECT_TRUE(client.console.encryptedAtConnect.empty()) << c.name;
      keys = client.Keys();
      continue;
    }
    // The lobby's four commands and nothing else: the plain connection an
    // upgrade closes carried none.
    EXPECT_EQ(server.commandsIn(), 4u) << c.name;
    EXPECT_EQ(client.console.encryptedAtConnect, std::vector<bool>{c.encrypted}) << c.name;
    EXPECT_TRUE(client.errors.shown.empty()) << c.name;
    const bool upgraded = c.encrypted && c.newKey;
    EXPECT_EQ(client.Says("この接続は暗号化されています"), upgraded) << c.name;
    if (c.tls) {
      EXPECT_TRUE(server.Exposes("gorvane_connections_greeted_total{transport=\"tls\"} 1")) << c.name;
      EXPECT_TRUE(server.Exposes(std::string("gorvane_connections_greeted_total{transport=\"plain\"} ") +
                                 (upgraded ? "1" : "0")))
          << c.name;
      if (upgraded) pinned = server.fingerprint();
      EXPECT_NE(client.Keys().find(std::string(kAddress) + " " + pinned), std::string::npos) << c.name;
    } else {
      EXPECT_FALSE(std::filesystem::exists(client.KeysPath())) << c.name;
    }
    keys = client.Keys();
    client.lobby->Exit1Click();
  }
  for (int i = 1; i <= pair; ++i) std::filesystem::remove_all(base + "_" + std::to_string(i));
}

}  // namespace
}  // namespace gorvane::e2e
