// SPDX-License-Identifier: GPL-3.0-or-later
// The choice between plain and TLS, and the trust in keys, with a socket
// that only records: what the first bytes of a plain connection say, what
// the pin file keeps, and the offers that come late or the keys a
// certificate authority vouches for.
#include "client/secure_transport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "client/server_keys.h"

namespace gorvane {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// 32 pairs of hex digits, told apart by the first.
std::string KeyStarting(const std::string& pair) {
  std::string key = pair;
  for (int i = 1; i < 32; ++i) key += std::string(":") + "0123456789ABCDEF"[i % 16] + "A";
  return key;
}
const std::string kKeyA = KeyStarting("AB");
const std::string kKeyB = KeyStarting("EF");

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

TEST(LookAtGreeting, TellsPlainFromAnOfferWithoutWaitingForWhatAPlainServerNeverSends) {
  ASSERT_TRUE(CanonicalFingerprint(kKeyA).has_value());
  struct Case {
    std::string bytes;
    GreetingLook::Kind kind;
    std::string fingerprint;
  };
  using enum GreetingLook::Kind;
  const Case cases[] = {
      {"S_CONNECT,1,hello\0"s, kPlain, ""},
      {"S_CONNECT,1,hel"s, kWait, ""},
      {"S_CONNECT,1,hello\0S_TL"s, kWait, ""},
      {"S_CONNECT,1,hello\0S_TLS,"s + kKeyA + "\0"s, kOffer, kKeyA},
      {"S_CONNECT,1,hello\0S_TLS,"s + Lower(kKeyA) + "\0"s, kOffer, kKeyA},
      {"S_CONNECT,1,hello\0S_EXCEED\0"s, kPlain, ""},
      {"S_EXCEED\0S_TLS,"s + kKeyA + "\0"s, kPlain, ""},
      {"S_CONNECT,1,hello\0S_TLS,AB:CD\0"s, kPlain, ""},
      {std::string(kGreetingLookLimit + 1, 'x'), kPlain, ""},
  };
  for (const Case& c : cases) {
    const GreetingLook look = LookAtGreeting(c.bytes);
    EXPECT_EQ(look.kind, c.kind) << c.bytes.substr(0, 60);
    EXPECT_EQ(look.fingerprint, c.fingerprint) << c.bytes.substr(0, 60);
  }
}

class TempDir {
 public:
  TempDir() : dir_(fs::temp_directory_path() / ("gorvane_keys_" + std::to_string(::getpid()))) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  ~TempDir() { fs::remove_all(dir_); }
  std::string Path() const { return (dir_ / kServerKeysFile).string(); }
  std::string Read() const {
    std::ifstream in(Path(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void Write(const std::string& bytes) const { std::ofstream(Path(), std::ios::binary) << bytes; }

 private:
  fs::path dir_;
};

TEST(ServerKeys, APinReplacesOnlyItsAddressLineAndAHandEditedLineStillPins) {
  struct Case {
    std::string before;
    std::string after;  // once 10.0.0.2 is pinned to key B
  };
  const std::string others = "# mine\n10.0.0.1 " + kKeyA + "\n\n";
  const Case cases[] = {
      {others, others + "10.0.0.2 " + kKeyB + "\n"},
      {others + "10.0.0.2  " + Lower(kKeyA) + "\r\n10.0.0.3 x\n",
       others + "10.0.0.2 " + kKeyB + "\n10.0.0.3 x\n"},
      {"10.0.0.1 " + kKeyA, "10.0.0.1 " + kKeyA + "\n10.0.0.2 " + kKeyB + "\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    dir.Write(c.before);
    ServerKeys keys(dir.Path());
    ASSERT_TRUE(keys.Remember("10.0.0.2", kKeyB));
    EXPECT_EQ(dir.Read(), c.after);
    EXPECT_EQ(keys.Find("10.0.0.1"), kKeyA);
    EXPECT_EQ(keys.Find("10.0.0.2"), kKeyB);
    EXPECT_FALSE(keys.Find("10.0.0.20").has_value());
  }
  TempDir dir;
  dir.Write("10.0.0.1 not-a-key\n");
  EXPECT_EQ(ServerKeys(dir.Path()).Find("10.0.0.1"), "not-a-key");
}

struct FakeTlsSocket : TlsSocket {
  std::vector<std::string> calls;
  bool up = false;
  bool active() const override { return up; }
  bool connected() const override { return up; }
  bool Start(const std::string&, uint16_t) override {
    calls.push_back("plain");
    return true;
  }
  bool StartEncrypted(const std::string&, uint16_t) override {
    calls.push_back("tls");
    return true;
  }
  void Close() override { calls.push_back("close"); }
  void Send(std::string_view bytes) override { calls.push_back("send " + std::string(bytes)); }
};

struct Rig {
  TempDir dir;
  FakeTlsSocket socket;
  std::vector<std::string> heard;
  SecureTransport transport{
      socket,
      ServerKeys(dir.Path()),
      {[this] { heard.push_back("connect"); }, [this] { heard.push_back("disconnect"); },
       [this](std::string_view bytes) { heard.push_back("read " + std::string(bytes)); },
       [this](SocketErrorKind, std::string_view) { heard.push_back("error"); },
       [this](std::string_view) { heard.push_back("notice"); },
       [this](std::string_view) { heard.push_back("refused"); }}};

  void PlainUp() {
    transport.Start("10.0.0.9", 1);
    transport.OnConnect();
    transport.OnRead("S_CONNECT,1,hi\0"s);
  }
};

TEST(SecureTransport, AnOfferAfterTheGreetingSwitchesUntilALoginHasGoneInClear) {
  struct Case {
    bool loginSent;
    TlsOffer answer;
    std::vector<std::string> heard;  // by the lobby, before the TLS connection is up
  };
  const Case cases[] = {
      // The abandoned plain connection goes without a word.
      {false, TlsOffer::kSwitching, {"notice"}},
      // The session stays; the next connect is encrypted from the start.
      {true, TlsOffer::kNoted, {"notice", "disconnect"}},
  };
  for (const Case& c : cases) {
    Rig rig;
    rig.PlainUp();
    rig.transport.Send("G_JOIN 1 me\0"s);
    if (c.loginSent) rig.transport.Send("G_LOGIN 1 me secret\0"s);
    rig.socket.calls.clear();
    rig.heard.clear();
    EXPECT_EQ(rig.transport.OfferTls(Lower(kKeyA)), c.answer);
    if (c.answer == TlsOffer::kNoted) {
      EXPECT_TRUE(rig.transport.active());
      rig.transport.Close();
      rig.transport.OnDisconnect();
      ASSERT_TRUE(rig.transport.Start("10.0.0.9", 1));
    } else {
      EXPECT_FALSE(rig.transport.active());
      rig.transport.OnDisconnect();
    }
    EXPECT_EQ(rig.socket.calls, (std::vector<std::string>{"close", "tls"})) << c.loginSent;
    EXPECT_EQ(rig.heard, c.heard) << c.loginSent;
    rig.transport.OnConnect();
    rig.transport.OnEncrypted({kKeyA, false});
    EXPECT_TRUE(rig.transport.encrypted()) << c.loginSent;
    EXPECT_EQ(ServerKeys(rig.dir.Path()).Find("10.0.0.9"), kKeyA);
  }
}

TEST(SecureTransport, APinnedAddressTakesANewKeyOnlyWhenAnAuthorityVouchesForIt) {
  struct Case {
    std::string key;
    bool trusted;
    bool up;
    std::string pinAfter;
  };
  const Case cases[] = {
      {kKeyA, false, true, kKeyA},
      {kKeyB, false, false, kKeyA},
      {kKeyB, true, true, kKeyB},
  };
  for (const Case& c : cases) {
    Rig rig;
    ASSERT_TRUE(ServerKeys(rig.dir.Path()).Remember("10.0.0.9", kKeyA));
    rig.transport.Start("10.0.0.9", 1);
    rig.transport.OnConnect();
    rig.transport.OnEncrypted({c.key, c.trusted});
    EXPECT_EQ(rig.transport.active(), c.up) << c.key << c.trusted;
    EXPECT_EQ(rig.heard.back(), c.up ? "connect" : "refused");
    EXPECT_EQ(ServerKeys(rig.dir.Path()).Find("10.0.0.9"), c.pinAfter);
  }
}

}  // namespace
}  // namespace gorvane
