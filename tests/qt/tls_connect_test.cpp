// SPDX-License-Identifier: GPL-3.0-or-later
// The lobby's connection against a loopback server that plays the TLS
// contract: a connection opening with a ClientHello is served TLS; one that
// sends nothing is greeted in plain, followed by S_TLS when the server has a
// key; a server without TLS closes a ClientHello at once. Keys and
// certificates are made here and thrown away.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "spine/sjis.h"
#include "tls_client_fixture.h"

namespace gorvane {
namespace {

struct Identity {
  QSslCertificate certificate;
  QSslKey key;
  std::string fingerprint;  // computed here from the SubjectPublicKeyInfo DER
};

QByteArray Pem(const std::function<int(BIO*)>& write) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  EXPECT_EQ(write(bio.get()), 1);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return QByteArray(data, static_cast<qsizetype>(size));
}

// A self-signed certificate over a new key: "EC" (P-256) or "RSA".
Identity MakeIdentity(const std::string& kind) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      kind == "RSA" ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("gorvane test"),
                             -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  EXPECT_GT(X509_sign(cert.get(), key.get(), EVP_sha256()), 0);

  unsigned char* der = nullptr;
  const int size = i2d_PUBKEY(key.get(), &der);
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(der, static_cast<size_t>(size), digest);
  OPENSSL_free(der);
  return {
      QSslCertificate(Pem([&](BIO* b) { return PEM_write_bio_X509(b, cert.get()); })),
      QSslKey(Pem([&](BIO* b) {
                return PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
              }),
              kind == "RSA" ? QSsl::Rsa : QSsl::Ec),
      QByteArray(reinterpret_cast<const char*>(digest), sizeof digest).toHex(':').toUpper().toStdString()};
}

// One server side of a connection, as the test saw it.
struct Seen {
  bool tls = false;
  bool helloRefused = false;
  QByteArray received;
};

class ContractServer : public QTcpServer {
 public:
  // identity: the TLS key, or nothing for a server without TLS; announced:
  // the key S_TLS names on a plain connection ("" for the identity's own).
  ContractServer(const Identity* identity, std::string announced)
      : identity_(identity), announced_(identity && announced.empty() ? identity->fingerprint : announced) {
    EXPECT_TRUE(listen(QHostAddress(QStringLiteral("127.0.0.61")), 0));
  }
  std::vector<std::unique_ptr<Seen>> seen;
  // Connections greeted in plain before their ClientHello came, as a server
  // whose wait ran out does, then closed when it comes.
  int lateHellos = 0;
  // Connections taken and never answered: no greeting, no handshake.
  bool silent = false;
  size_t BytesReceived() const {
    size_t total = 0;
    for (const auto& one : seen) total += static_cast<size_t>(one->received.size());
    return total;
  }

 protected:
  void incomingConnection(qintptr fd) override {
    Seen& one = *seen.emplace_back(std::make_unique<Seen>());
    if (silent) return;
    if (lateHellos > 0) {
      --lateHellos;
      Serve(fd, one, false);
      return;
    }
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    auto* wait = new QTimer(this);
    wait->setSingleShot(true);
    const auto decide = [this, fd, &one, notifier, wait](bool hello) {
      notifier->setEnabled(false);
      notifier->deleteLater();
      wait->stop();
      wait->deleteLater();
      if (hello && identity_ == nullptr) {
        one.helloRefused = true;
        ::close(static_cast<int>(fd));
        return;
      }
      Serve(fd, one, hello);
    };
    connect(notifier, &QSocketNotifier::activated, this, [fd, decide] {
      char first = 0;
      decide(::recv(static_cast<int>(fd), &first, 1, MSG_PEEK | MSG_DONTWAIT) == 1 && first == 0x16);
    });
    connect(wait, &QTimer::timeout, this, [decide] { decide(false); });
    wait->start(100);
  }

 private:
  void Serve(qintptr fd, Seen& one, bool tls) {
    auto* socket = new QSslSocket(this);
    socket->setSocketDescriptor(fd);
    const QByteArray welcome("S_CONNECT,7,welcome\0", 20);
    connect(socket, &QSslSocket::readyRead, this, [socket, &one, tls] {
      const bool joined = one.received.contains("G_JOIN");
      one.received += socket->readAll();
      if (!tls && one.received.startsWith('\x16')) {
        one.helloRefused = true;
        socket->abort();
        return;
      }
      if (!joined && one.received.contains("G_JOIN")) socket->write(QByteArray("S_GREETING,7,alice\0", 19));
    });
    if (!tls) {
      QByteArray greeting = welcome;
      if (!announced_.empty()) greeting += QByteArray::fromStdString("S_TLS," + announced_) + '\0';
      socket->write(greeting);
      return;
    }
    one.tls = true;
    socket->setLocalCertificate(identity_->certificate);
    socket->setPrivateKey(identity_->key);
    connect(socket, &QSslSocket::encrypted, this, [socket, welcome] { socket->write(welcome); });
    socket->startServerEncryption();
  }

  const Identity* identity_;
  std::string announced_;
};

const QByteArray kSession("G_JOIN 7 alice\0G_LIST 7 *\0G_PLIST 7 *\0G_LOGIN 7 alice secret1\0", 62);

TEST(TlsConnect, AFirstContactIsPlainUnlessTheServerOffersTlsThenItIsPinned) {
  struct Case {
    const char* keyKind;  // the server's key, or nullptr for a server without TLS
  };
  // An EC key, and every later contact, against our own server:
  // TlsSession.OurClientPinsOurServerAndRefusesWhatDoesNotMatch. Here an
  // RSA key, which our server never makes, and a plain server's bytes.
  const Case cases[] = {{nullptr}, {"RSA"}};
  for (const Case& c : cases) {
    const std::optional<Identity> identity =
        c.keyKind ? std::optional(MakeIdentity(c.keyKind)) : std::nullopt;
    ContractServer server(identity ? &*identity : nullptr, "");
    Client client(server.serverPort());
    client.lobby->Button1Click();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !server.seen.empty() && server.seen.back()->received.contains("G_LOGIN"); }, 5000))
        << (c.keyKind ? c.keyKind : "plain");
    // Today's bytes, on the one connection the lobby keeps; an offer costs
    // the plain connection nothing but its close, with no byte sent on it.
    ASSERT_EQ(server.seen.size(), identity ? 2u : 1u);
    EXPECT_EQ(server.seen.back()->received, kSession);
    EXPECT_EQ(server.seen.back()->tls, identity.has_value());
    if (identity) {
      EXPECT_EQ(server.seen.front()->received, QByteArray());
    }
    EXPECT_EQ(client.console.encryptedAtConnect, std::vector<bool>{identity.has_value()});
    EXPECT_TRUE(client.errors.shown.empty());
    if (!identity) {
      EXPECT_FALSE(fs::exists(client.KeysPath()));
      continue;
    }
    EXPECT_NE(client.Keys().find("\n127.0.0.61 " + identity->fingerprint + "\n"), std::string::npos);
    struct stat mode {};
    ASSERT_EQ(::stat(client.KeysPath().c_str(), &mode), 0);
    EXPECT_EQ(mode.st_mode & 0777, 0600u);
    EXPECT_TRUE(client.Says("この接続は暗号化されています")) << "a black line";
    EXPECT_TRUE(client.Says(identity->fingerprint));
    client.lobby->Exit1Click();
  }
}

// A server that announces one key in plain and serves another over TLS is
// no server of ours, so only a server written here plays it: the first
// contact is refused, nothing sent, nothing pinned. A pinned address's other
// contacts are in TlsSession's table against our own server.
TEST(TlsConnect, AnAnnouncedKeyTheHandshakeDoesNotShowIsRefused) {
  const Identity announced = MakeIdentity("EC");
  const Identity served = MakeIdentity("EC");
  ContractServer server(&served, announced.fingerprint);
  Client client(server.serverPort());
  client.lobby->Button1Click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !client.errors.shown.empty(); }, 5000));
  QTest::qWait(100);  // room for a byte that should not come
  EXPECT_EQ(server.BytesReceived(), 0u);
  ASSERT_EQ(client.errors.shown.size(), 1u);
  for (const std::string& part :
       {std::string("示された鍵が違います"), announced.fingerprint, served.fingerprint}) {
    EXPECT_NE(client.errors.shown[0].find(sjis::Text(part)), std::string::npos) << part;
  }
  EXPECT_EQ(client.view.online, false);
  EXPECT_TRUE(client.console.encryptedAtConnect.empty());
  EXPECT_FALSE(fs::exists(client.KeysPath()));
}

// A pinned address, dialled with TLS: a ClientHello the server met too late
// costs one more dial, not a box; a server that takes the connection and
// never answers ends in a failed connect once the handshake's wait is over.
TEST(TlsConnect, APinnedAddressDialsAgainOnceAndGivesUpOnASilentServer) {
  struct Case {
    const char* what;
    int lateHellos;
    bool silent;
    size_t connections;
    const char* box;  // what the one box says, or nullptr for none
  };
  const Case cases[] = {
      {"hello late once", 1, false, 2, nullptr},
      {"hello late twice", 2, false, 2, "暗号化通信に応じませんでした"},
      {"silent server", 0, true, 1, "サーバ接続が正常に完了しませんでした"},
  };
  const Identity identity = MakeIdentity("EC");
  for (const Case& c : cases) {
    ContractServer server(&identity, "");
    server.lateHellos = c.lateHellos;
    server.silent = c.silent;
    Client client(server.serverPort());
    ASSERT_TRUE(ServerKeys(client.KeysPath()).Remember("127.0.0.61", identity.fingerprint));
    client.link->socket().SetHandshakeWait(std::chrono::milliseconds(300));
    client.lobby->Button1Click();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          return !client.errors.shown.empty() ||
                 (!server.seen.empty() && server.seen.back()->received.contains("G_LOGIN"));
        },
        5000))
        << c.what;
    QTest::qWait(100);
    EXPECT_EQ(server.seen.size(), c.connections) << c.what;
    if (c.box) {
      ASSERT_EQ(client.errors.shown.size(), 1u) << c.what;
      EXPECT_NE(client.errors.shown[0].find(sjis::Text(c.box)), std::string::npos) << c.what;
      for (const auto& one : server.seen) EXPECT_EQ(one->received.indexOf("G_"), -1) << c.what;
      continue;
    }
    EXPECT_TRUE(client.errors.shown.empty()) << c.what;
    EXPECT_TRUE(server.seen.back()->tls) << c.what;
    EXPECT_EQ(server.seen.front()->received.indexOf("G_"), -1) << c.what << ": nothing sent in plain";
    client.lobby->Exit1Click();
  }
}

}  // namespace
}  // namespace gorvane
