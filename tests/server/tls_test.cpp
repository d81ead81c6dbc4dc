// SPDX-License-Identifier: GPL-3.0-or-later
// TLS on the game port: who is greeted how, logins by transport, a renewed
// certificate read again, and the self-signed pair kept from start to start.
#include "server/loop/tls.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "server/store/accounts.h"
#include "spine/codec.h"
#include "spine/fields.h"
#include "spine/framing.h"
#include "spine/sjis.h"
#include "support/server/dial.h"
#include "support/server/loopback.h"
#include "support/server/tls_client.h"

namespace gorvane::testing {
namespace {

using Strings = std::vector<std::string>;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A folder of the test's own, gone with it.
struct Folder {
  explicit Folder(const std::string& name)
      : path(fs::temp_directory_path() / ("gorvane-tls-" + std::to_string(::getpid()) + "-" + name)) {
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~Folder() { fs::remove_all(path); }
  fs::path path;
};

std::string ReadAll(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// A fresh pair, as a host's certificate and key would be.
server::TlsFiles MakePair(const fs::path& folder) {
  fs::create_directories(folder);
  bool made = false;
  std::string error;
  const auto files = server::SelfSigned(folder.string(), made, error);
  if (!files) throw std::runtime_error(error);
  return *files;
}

std::string FingerprintOf(const server::TlsFiles& files) {
  return server::KeyFingerprint(ReadAll(files.certificate)).value_or("none");
}

// One series of the server's metrics, 0 when absent.
double Metric(const server::Server& server, const std::string& series) {
  std::istringstream text(server.metrics().Exposition());
  for (std::string line; std::getline(text, line);) {
    if (line.starts_with(series + " ")) return std::stod(line.substr(series.size() + 1));
  }
  return 0;
}

const std::string kFailures = "gorvane_tls_handshake_failures_total";
const std::string kGreetedTls = "gorvane_connections_greeted_total{transport=\"tls\"}";
const std::string kGreetedPlain = "gorvane_connections_greeted_total{transport=\"plain\"}";

// A server on address with TLS from files (none: without TLS).
std::unique_ptr<Harness> TlsServer(const std::string& address, const std::optional<server::TlsFiles>& files,
                                   const std::string& database = ":memory:", bool plainLogins = false) {
  return std::make_unique<Harness>(address, database, [&](server::ServerOptions& options) {
    options.tls = files;
    options.plainLogins = plainLogins;
  });
}

std::string Kind(const std::string& message) { return message.substr(0, message.find(',')); }

// The kinds of server message received; a TLS alert a plain reader cuts
// at its NULs is none.
Strings Kinds(const std::deque<std::string>& inbox) {
  Strings kinds;
  for (const std::string& message : inbox) {
    if (message.starts_with("S_")) kinds.push_back(Kind(message));
  }
  return kinds;
}

TEST(Tls, EachConnectionIsGreetedInWhatItSpeaks) {
  Folder folder("sniff");
  const server::TlsFiles files = MakePair(folder.path);
  enum class Client { kSilent, kTls, kHelloThenHangUp, kGarbageHello, kLateHello };
  struct Case {
    const char* name;
    bool tlsOn;
    Client client;
    Strings kinds;  // what the client receives, in order
    bool closed;
    double failures;  // handshake failures counted
  } const cases[] = {
      {"plain client, told of TLS", true, Client::kSilent, {"S_CONNECT", "S_TLS"}, false, 0},
      {"TLS client", true, Client::kTls, {"S_CONNECT"}, false, 0},
      {"ClientHello, no TLS here", false, Client::kTls, {}, true, 1},
      {"handshake given up", true, Client::kHelloThenHangUp, {}, true, 1},
      {"garbage handshake", true, Client::kGarbageHello, {}, true, 1},
      {"ClientHello after a plain greeting", true, Client::kLateHello, {"S_CONNECT", "S_TLS"}, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto harness = TlsServer("127.0.0.91", c.tlsOn ? std::optional(files) : std::nullopt);
    server::Server& server = harness->server();
    const auto start = std::chrono::steady_clock::now();
    std::deque<std::string> inbox;
    bool closed = false;
    if (c.client == Client::kTls || c.client == Client::kHelloThenHangUp) {
      TlsClient client;
      ASSERT_TRUE(client.Connect("127.0.0.91", server.port(), "127.0.0.191"));
      if (c.client == Client::kHelloThenHangUp) client.Abort();
      harness->RunUntil({}, [&] {
        client.Step();
        return client.closed || !client.inbox.empty();
      });
      harness->Settle({});
      client.Step();
      inbox = client.inbox;
      closed = client.closed;
      if (c.client == Client::kTls && c.tlsOn) {
        EXPECT_EQ(client.fingerprint, FingerprintOf(files));
      }
    } else {
      RawClient client;
      ASSERT_TRUE(client.Connect("127.0.0.91", server.port(), "127.0.0.191"));
      if (c.client == Client::kGarbageHello) client.SendRaw(std::string("\x16\x03\x01\x00\x05hello", 10));
      harness->RunUntil({&client}, [&] { return client.closed || client.inbox.size() >= 2; });
      if (c.client == Client::kLateHello) {
        client.SendRaw(std::string("\x16\x03\x01\x00\x05hello", 10));
        harness->RunUntil({&client}, [&] { return client.closed; });
      }
      harness->Settle({&client});
      inbox = client.inbox;
      closed = client.closed;
    }
    EXPECT_EQ(Kinds(inbox), c.kinds);
    EXPECT_EQ(closed, c.closed);
    EXPECT_EQ(Metric(server, "gorvane_connections"), c.closed ? 0 : 1);
    // Closed at once, not by the ten seconds a connection has to join.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(Metric(server, kFailures), c.failures);
    if (!c.kinds.empty()) {
      EXPECT_EQ(Metric(server, c.client == Client::kTls ? kGreetedTls : kGreetedPlain), 1);
    }
    if (c.kinds.size() == 2) {
      EXPECT_EQ(inbox[1], "S_TLS," + FingerprintOf(files));
    }
  }
}

TEST(Tls, LoginsNeedTheEncryptedConnectionUnlessAllowed) {
  Folder folder("logins");
  const server::TlsFiles files = MakePair(folder.path);
  const std::string database = (folder.path / "accounts.db").string();
  {
    std::string error;
    auto accounts = server::AccountStore::Open(database, error);
    ASSERT_TRUE(accounts && accounts->SetPassword("alice", "secret", error)) << error;
  }
  struct Case {
    const char* name;
    bool tlsOn;
    bool plainLogins;
    bool overTls;
    std::string command;
    std::string answer;  // the kind and fields of the answer
    double refused;      // plain logins refused, counted
  } const cases[] = {
      {"plain login, TLS on", true, false, false, "G_LOGIN", "S_ELOGIN,15", 1},
      {"plain login, allowed", true, true, false, "G_LOGIN", "S_LOGIN", 0},
      {"login over TLS", true, false, true, "G_LOGIN", "S_LOGIN", 0},
      {"plain login, no TLS", false, false, false, "G_LOGIN", "S_LOGIN", 0},
      {"guest plays in plain", true, false, false, "P_CREATE", "S_CREATE", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto harness =
        TlsServer("127.0.0.93", c.tlsOn ? std::optional(files) : std::nullopt, database, c.plainLogins);
    const std::string argument = c.command == "G_LOGIN" ? "alice secret" : "*";
    std::string answer;
    const auto answered = [&](const std::deque<std::string>& inbox) {
      for (const std::string& message : inbox) {
        if (Kind(message) == Kind(c.answer)) answer = message.substr(0, c.answer.size());
      }
      return !answer.empty();
    };
    if (c.overTls) {
      TlsClient client;
      ASSERT_TRUE(client.Connect("127.0.0.93", harness->server().port(), "127.0.0.193"));
      harness->RunUntil({}, [&] { return client.Step(), client.id != 0; });
      client.Command("G_JOIN", "alice");
      client.Command(c.command, argument);
      harness->RunUntil({}, [&] { return client.Step(), answered(client.inbox); });
    } else {
      auto client = harness->Connect();
      ASSERT_TRUE(client);
      client->Command("G_JOIN", "alice");
      client->Command(c.command, argument);
      harness->RunUntil({client.get()}, [&] { return answered(client->inbox); });
    }
    EXPECT_EQ(answer, c.answer);
    EXPECT_EQ(Metric(harness->server(), "gorvane_plain_logins_refused_total"), c.refused);
    size_t lines = 0;
    for (const std::string& line : harness->log())
      lines += line.find("sent over plain text") != std::string::npos;
    EXPECT_EQ(lines, c.refused == 0 ? 0u : 1u);
  }
}

TEST(Tls, ThePlainWelcomeSaysLoginsNeedTls) {
  Folder folder("welcome");
  const server::TlsFiles files = MakePair(folder.path);
  struct Case {
    bool tlsOn;
    bool plainLogins;
    bool saysTls;
  } const cases[] = {{true, false, true}, {true, true, false}, {false, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.tlsOn) + std::to_string(c.plainLogins));
    auto harness =
        TlsServer("127.0.0.94", c.tlsOn ? std::optional(files) : std::nullopt, ":memory:", c.plainLogins);
    RawClient client;
    ASSERT_TRUE(client.Connect("127.0.0.94", harness->server().port(), "127.0.0.194"));
    harness->RunUntil({&client}, [&] { return !client.inbox.empty(); });
    ASSERT_FALSE(client.inbox.empty());
    const Fields fields = SplitCommaText(client.inbox.front());
    ASSERT_EQ(fields.size(), 3u);
    EXPECT_EQ(sjis::ToUtf8(fields[2]).find("暗号化された接続") != std::string::npos, c.saysTls);
  }
}

TEST(Tls, ARenewedPairIsReadAgainAndABadOneKeepsTheOld) {
  Folder folder("reload");
  const server::TlsFiles served{(folder.path / "fullchain.pem").string(),
                                (folder.path / "privkey.pem").string()};
  const server::TlsFiles first = MakePair(folder.path / "first");
  const server::TlsFiles second = MakePair(folder.path / "second");
  const auto install = [&](const std::string& certificate, const std::string& key) {
    fs::copy_file(certificate, served.certificate, fs::copy_options::overwrite_existing);
    fs::copy_file(key, served.key, fs::copy_options::overwrite_existing);
  };
  struct Case {
    const char* name;
    std::string certificate;
    std::string key;
    std::string served;  // the fingerprint after the reload
    const char* logged;
  } const cases[] = {
      {"renewed", second.certificate, second.key, FingerprintOf(second), "reloaded"},
      {"key of another certificate", second.certificate, first.key, FingerprintOf(first), "not reloaded"},
      {"no certificate", (folder.path / "none").string(), second.key, FingerprintOf(first), "not reloaded"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    install(first.certificate, first.key);
    auto harness = TlsServer("127.0.0.95", served);
    TlsClient before;
    ASSERT_TRUE(before.Connect("127.0.0.95", harness->server().port(), "127.0.0.195"));
    harness->RunUntil({}, [&] { return before.Step(), before.id != 0; });
    harness->NewLog();
    if (fs::exists(c.certificate)) {
      install(c.certificate, c.key);
    } else {
      fs::remove(served.certificate);
    }
    harness->server().ReloadTls();
    const Strings log = harness->NewLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find(c.logged), std::string::npos) << log[0];
    EXPECT_NE(log[0].find(c.served), std::string::npos) << log[0];
    // Newcomers see what is served now, plain and over TLS.
    RawClient plain;
    ASSERT_TRUE(plain.Connect("127.0.0.95", harness->server().port(), "127.0.0.196"));
    harness->RunUntil({&plain}, [&] { return plain.inbox.size() >= 2; });
    ASSERT_EQ(plain.inbox.size(), 2u);
    EXPECT_EQ(plain.inbox[1], "S_TLS," + c.served);
    TlsClient after;
    ASSERT_TRUE(after.Connect("127.0.0.95", harness->server().port(), "127.0.0.197"));
    harness->RunUntil({}, [&] { return after.Step(), after.id != 0; });
    EXPECT_EQ(after.fingerprint, c.served);
    // The connection from before the reload is still served.
    before.Command("G_JOIN", "early");
    harness->RunUntil({}, [&] { return before.Step(), before.inbox.size() >= 2; });
    EXPECT_EQ(Kinds(before.inbox), (Strings{"S_CONNECT", "S_GREETING"}));
  }
}

TEST(Tls, TheSelfSignedPairIsMadeOnceAndKept) {
  Folder folder("self");
  const std::string database = (folder.path / "gorvane-server.db").string();
  std::string fingerprints[2];
  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start);
    Harness harness("127.0.0.96", database,
                    [](server::ServerOptions& options) { options.tlsSelfSigned = true; });
    fingerprints[start] = harness.server().tlsFingerprint();
    const fs::path key = folder.path / "gorvane-tls-key.pem";
    struct stat status {};
    ASSERT_EQ(::stat(key.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(fingerprints[start], server::KeyFingerprint(ReadAll(folder.path / "gorvane-tls-cert.pem")));
    size_t made = 0;
    for (const std::string& line : harness.log())
      made += line.find("made a self-signed") != std::string::npos;
    EXPECT_EQ(made, start == 0 ? 1u : 0u);
  }
  EXPECT_EQ(fingerprints[0], fingerprints[1]);
}

TEST(Tls, TheSelfSignedPairLivesBesideTheDatabase) {
  struct Case {
    const char* database;
    const char* stateDirectory;
    const char* folder;
  } const cases[] = {
      {"/var/lib/gorvane/gorvane-server.db", "/elsewhere", "/var/lib/gorvane"},
      {"gorvane-server.db", nullptr, "."},
      {"postgresql://game@db.example/gorvane", "/var/lib/gorvane:/var/lib/other", "/var/lib/gorvane"},
      {"postgresql://game@db.example/gorvane", nullptr, "."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(server::SelfSignedFolder(c.database, c.stateDirectory), c.folder) << c.database;
  }
}

// The fingerprint is the contract with the clients and what the README
// tells hosts to compute with openssl: both agree.
TEST(Tls, TheFingerprintIsWhatOpensslComputes) {
  Folder folder("openssl");
  const server::TlsFiles files = MakePair(folder.path);
  const std::string command = "openssl x509 -in " + files.certificate +
                              " -pubkey -noout | openssl pkey -pubin -outform der | openssl dgst -sha256 -c";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::array<char, 256> line{};
  const bool read = std::fgets(line.data(), line.size(), pipe) != nullptr;
  ::pclose(pipe);
  ASSERT_TRUE(read);
  std::string expected(line.data());
  expected = expected.substr(expected.rfind(' ') + 1, 95);
  for (char& c : expected) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(FingerprintOf(files), expected);
}

// What a host checks with: openssl's own client is served TLS 1.3 and 1.2,
// greeted with S_CONNECT over them, and refused anything older.
TEST(Tls, OpensslsClientGetsOnlyTheVersionsOffered) {
  Folder folder("s_client");
  const server::TlsFiles files = MakePair(folder.path);
  auto harness = TlsServer("127.0.0.94", files);
  const struct {
    const char* flags;
    const char* protocol;  // what s_client reports; nullptr: no session
  } cases[] = {
      {"-tls1_3", "TLSv1.3"},
      {"-tls1_2", "TLSv1.2"},
      // The client's own floor lowered, so that the refusal is the server's.
      {"-tls1_1 -cipher DEFAULT@SECLEVEL=0", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    // Its standard input stays open a moment, so that it reads the greeting.
    const std::string command = "sleep 0.5 | openssl s_client -brief -connect 127.0.0.94:" +
                                std::to_string(harness->server().port()) + " " + c.flags + " 2>&1";
    std::string output;
    std::atomic<bool> done{false};
    std::thread client([&] {
      if (FILE* pipe = ::popen(command.c_str(), "r")) {
        std::array<char, 512> chunk{};
        size_t got = 0;
        while ((got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) output.append(chunk.data(), got);
        ::pclose(pipe);
      }
      done = true;
    });
    harness->RunUntil(
        {}, [&] { return done.load(); }, 10s);
    client.join();
    if (c.protocol) {
      EXPECT_NE(output.find(std::string("Protocol version: ") + c.protocol), std::string::npos) << output;
      EXPECT_NE(output.find("S_CONNECT,"), std::string::npos) << output;
    } else {
      EXPECT_EQ(output.find("Protocol version:"), std::string::npos) << output;
      EXPECT_EQ(output.find("S_CONNECT"), std::string::npos) << output;
    }
  }
}

}  // namespace
}  // namespace gorvane::testing
