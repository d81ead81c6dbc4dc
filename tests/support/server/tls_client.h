// SPDX-License-Identifier: GPL-3.0-or-later
// A TLS client of the game server for tests, stepped between turns of the
// server as the raw clients are.
#pragma once

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <array>
#include <deque>
#include <string>
#include <string_view>

#include "server/loop/tls.h"
#include "spine/codec.h"
#include "spine/fields.h"
#include "spine/framing.h"
#include "support/server/dial.h"

namespace gorvane::testing {

// An OpenSSL client on a non-blocking socket, stepped by the test between
// turns of the server.
class TlsClient {
 public:
  TlsClient() : context_(SSL_CTX_new(TLS_client_method())) {}
  ~TlsClient() {
    SSL_free(tls_);
    SSL_CTX_free(context_);
    if (fd_ >= 0) ::close(fd_);
  }
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  bool Connect(const std::string& address, uint16_t port, const std::string& source) {
    fd_ = DialLoopback(address, port, {.source = source});
    if (fd_ < 0) return false;
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    tls_ = SSL_new(context_);
    // The server's own socket BIO: a write to a server that closed must
    // not raise SIGPIPE in the test.
    BIO* bio = BIO_new(sockets_.method());
    BIO_set_fd(bio, fd_, BIO_NOCLOSE);
    SSL_set_bio(tls_, bio, bio);
    SSL_set_connect_state(tls_);
    Step();
    return true;
  }
  // Sends the ClientHello and hangs up before the handshake is done.
  void Abort() { ::shutdown(fd_, SHUT_RDWR); }

  // The handshake a step further, and what has come read.
  void Step() {
    if (closed) return;
    if (!connected) {
      const int done = SSL_do_handshake(tls_);
      if (done != 1) {
        const int error = SSL_get_error(tls_, done);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) closed = true;
        ERR_clear_error();
        return;
      }
      connected = true;
      fingerprint = Fingerprint();
    }
    std::array<char, 16384> buffer;
    for (;;) {
      const int n = SSL_read(tls_, buffer.data(), static_cast<int>(buffer.size()));
      if (n > 0) {
        framer_.Feed(std::string_view(buffer.data(), static_cast<size_t>(n)), [&](std::string_view text) {
          if (text.starts_with("S_CONNECT,")) id = ParseInt32(SplitCommaText(text).at(1)).value_or(0);
          inbox.emplace_back(text);
        });
        continue;
      }
      if (SSL_get_error(tls_, n) != SSL_ERROR_WANT_READ) closed = true;
      ERR_clear_error();
      return;
    }
  }
  void Command(std::string_view kind, std::string_view argument) {
    const std::string wire =
        std::string(kind) + " " + std::to_string(id) + " " + std::string(argument) + '\0';
    SSL_write(tls_, wire.data(), static_cast<int>(wire.size()));
  }

  bool connected = false;
  bool closed = false;
  int32_t id = 0;
  std::string fingerprint;  // of the certificate the server showed
  std::deque<std::string> inbox;

 private:
  std::string Fingerprint() const {
    X509* certificate = SSL_get1_peer_certificate(tls_);
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    std::string text = server::KeyFingerprint(std::string(reinterpret_cast<char*>(der), length)).value_or("");
    OPENSSL_free(der);
    X509_free(certificate);
    return text;
  }

  server::TlsSockets sockets_;
  SSL_CTX* context_;
  SSL* tls_ = nullptr;
  int fd_ = -1;
  MessageFramer framer_;
};

}  // namespace gorvane::testing
