// SPDX-License-Identifier: GPL-3.0-or-later
// TLS on the game port: the certificate and key it is spoken with, how they
// are loaded (again on SIGHUP), the fingerprint players compare, and the
// self-signed pair a host without a certificate gets. OpenSSL's headers
// stay in the .cpp files; connections hold their session as a pointer.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct ssl_st;
struct ssl_ctx_st;
struct bio_method_st;

namespace gorvane::server {

struct TlsFree {
  void operator()(ssl_st* tls) const;
};
using TlsSession = std::unique_ptr<ssl_st, TlsFree>;

// The first byte of a TLS record carrying a handshake: a ClientHello opens
// with it, and no command kind does.
inline constexpr unsigned char kTlsHandshakeByte = 0x16;

// A PEM certificate chain (as certbot writes fullchain.pem) and its key.
struct TlsFiles {
  std::string certificate;
  std::string key;
};

// How sessions reach their sockets: as OpenSSL's own socket BIO, except
// that a write to a peer gone never raises SIGPIPE, as none of the server's
// other writes does. Outlives every session made with it.
class TlsSockets {
 public:
  TlsSockets();
  ~TlsSockets();
  TlsSockets(const TlsSockets&) = delete;
  TlsSockets& operator=(const TlsSockets&) = delete;
  bio_method_st* method() const { return method_; }

 private:
  bio_method_st* method_ = nullptr;
};

class TlsContext {
  struct Made {};

 public:
  // Only Load makes one.
  explicit TlsContext(Made) {}
  // Loads the pair; nullptr, with why in error, when either cannot be read
  // or the key is not the certificate's.
  static std::unique_ptr<TlsContext> Load(const TlsFiles& files, std::string& error);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // A session for one accepted socket, on the server's side; nullptr when
  // OpenSSL has no memory for it.
  TlsSession Accept(int fd, const TlsSockets& sockets) const;
  // SHA-256 of the certificate's SubjectPublicKeyInfo (DER), as 32 pairs of
  // upper-case hex digits joined by colons.
  const std::string& fingerprint() const { return fingerprint_; }

 private:
  ssl_ctx_st* context_ = nullptr;
  std::string fingerprint_;
};

// The fingerprint of the public key of a DER or PEM certificate, or nothing
// when it is not one.
std::optional<std::string> KeyFingerprint(std::string_view certificate);

// Where --tls-self-signed keeps its pair: beside an SQLite database, else
// in $STATE_DIRECTORY (its first folder) or the working directory.
std::string SelfSignedFolder(const std::string& databasePath, const char* stateDirectory);
// The self-signed pair in folder: read when both files are there, made once
// otherwise (an ECDSA P-256 key, mode 0600, and a certificate for it).
// made tells which; nothing, with why in error, when it cannot be made.
std::optional<TlsFiles> SelfSigned(const std::string& folder, bool& made, std::string& error);

// Why the last OpenSSL call failed, from its error queue, which it empties.
std::string TlsErrorText();

}  // namespace gorvane::server
