// SPDX-License-Identifier: GPL-3.0-or-later
// TLS on the game port: a new connection that opens with a ClientHello has
// its handshake on the loop, one step per readiness, and is greeted once it
// is done; one that says nothing for a short wait is greeted in plain and
// told that TLS is offered, so that clients that never learnt it play on.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>

#include "server/loop/connection.h"
#include "server/loop/server.h"
#include "server/loop/tls.h"

namespace gorvane::server {

bool Server::StartTls(std::string& error) {
  if (options_.tlsSelfSigned) {
    const std::string folder = SelfSignedFolder(options_.databasePath, std::getenv("STATE_DIRECTORY"));
    bool made = false;
    tlsFiles_ = SelfSigned(folder, made, error);
    if (!tlsFiles_) return false;
    Log(std::string(made ? "made a self-signed TLS certificate and key in "
                         : "using the self-signed TLS pair in ") +
        folder);
  } else if (options_.tls) {
    tlsFiles_ = *options_.tls;
  } else {
    return true;
  }
  tls_ = TlsContext::Load(*tlsFiles_, error);
  if (!tls_) return false;
  tlsSockets_ = std::make_unique<TlsSockets>();
  Log("TLS offered on this port (TLS 1.2 and 1.3), certificate " + tlsFiles_->certificate +
      ", key fingerprint SHA-256 " + tls_->fingerprint() +
      (options_.plainLogins ? "; logins over plain text accepted" : "; logins over plain text refused"));
  return true;
}

void Server::ReloadTls() {
  if (!tlsFiles_) {
    Log("SIGHUP: no TLS certificate to read again");
    return;
  }
  std::string error;
  auto fresh = TlsContext::Load(*tlsFiles_, error);
  if (!fresh) {
    // Connections keep coming while the host puts the pair right.
    Log("TLS certificate not reloaded, still serving key fingerprint " + tls_->fingerprint() + ": " + error);
    return;
  }
  // Sessions already open hold their own reference to the old pair.
  tls_ = std::move(fresh);
  Log("TLS certificate reloaded from " + tlsFiles_->certificate + ", key fingerprint SHA-256 " +
      tls_->fingerprint());
}

std::string Server::tlsFingerprint() const { return tls_ ? tls_->fingerprint() : std::string(); }

void Server::Arrive(Connection& connection, TimePoint now) {
  if (!tls_) {
    Greet(connection);
    return;
  }
  connection.stage = Connection::Stage::kSniffing;
  sniffing_.emplace_back(now + options_.tlsSniffWait, connection.key);
}

void Server::Greet(Connection& connection) {
  connection.stage = Connection::Stage::kGreeted;
  Arrival arrival;
  arrival.address = connection.address;
  if (tls_ && !connection.tls) {
    arrival.tlsOffer = tls_->fingerprint();
    arrival.plainLoginsRefused = !options_.plainLogins;
  }
  metrics_.Greeted(connection.tls ? Transport::kTls : Transport::kPlain);
  // Logged once it joins, or in one line when it leaves without joining:
  // connect-and-close must not write two lines a time.
  lobby_->Connect(connection.user, arrival);
  table_.Flush(connection);
}

void Server::Settle(Connection& connection) {
  if (connection.stage == Connection::Stage::kHandshaking) {
    Handshake(connection);
    return;
  }
  unsigned char first = 0;
  const ssize_t got = ::recv(connection.fd, &first, 1, MSG_PEEK);
  if (got < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) table_.Drop(connection, ErrorText(errno));
    return;
  }
  if (got == 0) {
    table_.Drop(connection, "closed the connection");
    return;
  }
  if (first != kTlsHandshakeByte) {
    // A client that speaks first is no TLS client: plain, as it wants.
    Greet(connection);
    if (!connection.dead) Read(connection);
    return;
  }
  connection.tls = tls_->Accept(connection.fd, *tlsSockets_);
  if (!connection.tls) {
    table_.Drop(connection, "no memory for a TLS session");
    return;
  }
  connection.stage = Connection::Stage::kHandshaking;
  Handshake(connection);
}

void Server::Handshake(Connection& connection) {
  ERR_clear_error();
  const int done = SSL_accept(connection.tls.get());
  if (done == 1) {
    connection.tlsWantsWrite = false;
    connection.heard = true;
    Greet(connection);
    return;
  }
  const int error = SSL_get_error(connection.tls.get(), done);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
    connection.tlsWantsWrite = error == SSL_ERROR_WANT_WRITE;
    table_.Watch(connection);
    return;
  }
  // Counted where every end of a handshake is (Dropped).
  table_.Drop(connection,
              "TLS handshake failed: " + (error == SSL_ERROR_SYSCALL && errno != 0 ? ErrorText(errno)
                                          : error == SSL_ERROR_ZERO_RETURN         ? "closed"
                                                                                   : TlsErrorText()));
}

void Server::SweepSniffing(TimePoint now) {
  while (!sniffing_.empty() && sniffing_.front().first <= now) {
    const uint64_t key = sniffing_.front().second;
    sniffing_.pop_front();
    Connection* connection = table_.FindKey(key);
    if (connection != nullptr && connection->stage == Connection::Stage::kSniffing) Greet(*connection);
  }
}

}  // namespace gorvane::server
