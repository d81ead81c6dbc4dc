// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/loop/tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>

#include <array>
#include <climits>

namespace gorvane::server {
namespace {

// TLS 1.2 with forward secrecy and authenticated encryption only, for RSA
// and ECDSA certificates alike; TLS 1.3's own suites are all of that kind.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* kGroups = "X25519:P-256:P-384";

struct X509Free {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};

std::string FingerprintOf(X509* certificate) {
  unsigned char* der = nullptr;
  const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
  if (length <= 0) return {};
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  const bool hashed =
      EVP_Digest(der, static_cast<size_t>(length), digest.data(), &size, EVP_sha256(), nullptr) == 1;
  OPENSSL_free(der);
  if (!hashed) return {};
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(size * 3);
  for (unsigned int i = 0; i < size; ++i) {
    if (i > 0) text += ':';
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xF];
  }
  return text;
}

int SendQuietly(BIO* bio, const char* data, int length) {
  const ssize_t sent =
      ::send(static_cast<int>(BIO_get_fd(bio, nullptr)), data, static_cast<size_t>(length), MSG_NOSIGNAL);
  BIO_clear_retry_flags(bio);
  if (sent <= 0 && BIO_sock_should_retry(static_cast<int>(sent))) BIO_set_retry_write(bio);
  return static_cast<int>(sent);
}

}  // namespace

void TlsFree::operator()(ssl_st* tls) const { SSL_free(tls); }

TlsSockets::TlsSockets() {
  const BIO_METHOD* socket = BIO_s_socket();
  method_ = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "gorvane socket");
  if (method_ == nullptr) return;
  BIO_meth_set_write(method_, SendQuietly);
  BIO_meth_set_read(method_, BIO_meth_get_read(socket));
  BIO_meth_set_puts(method_, BIO_meth_get_puts(socket));
  BIO_meth_set_ctrl(method_, BIO_meth_get_ctrl(socket));
  BIO_meth_set_create(method_, BIO_meth_get_create(socket));
  BIO_meth_set_destroy(method_, BIO_meth_get_destroy(socket));
}

TlsSockets::~TlsSockets() { BIO_meth_free(method_); }

std::string TlsErrorText() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    const char* reason = ERR_reason_error_string(code);
    std::array<char, 256> full{};
    if (reason == nullptr) {
      ERR_error_string_n(code, full.data(), full.size());
      reason = full.data();
    }
    if (text.find(reason) != std::string::npos) continue;
    if (!text.empty()) text += "; ";
    text += reason;
  }
  return text.empty() ? "no reason given" : text;
}

std::unique_ptr<TlsContext> TlsContext::Load(const TlsFiles& files, std::string& error) {
  ERR_clear_error();
  auto loaded = std::make_unique<TlsContext>(Made{});
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  loaded->context_ = context;
  if (context == nullptr) {
    error = "cannot set TLS up: " + TlsErrorText();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION);
  // Renegotiation is a way to make the server work again for nothing; a
  // peer that closes without close_notify is only a closed connection.
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION |
                                   SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_IGNORE_UNEXPECTED_EOF);
  // The out queue hands over what waits as it can (partial writes), its
  // chunks may move while a write waits, and an idle connection keeps no
  // buffers: a thousand users hold a few kilobytes each, not thirty.
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                                SSL_MODE_RELEASE_BUFFERS);
  // Resumption by tickets only: no cache of sessions grows with the crowd.
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  if (SSL_CTX_set_cipher_list(context, kTls12Ciphers) != 1 ||
      SSL_CTX_set1_groups_list(context, kGroups) != 1) {
    error = "cannot set TLS up: " + TlsErrorText();
    return nullptr;
  }
  if (SSL_CTX_use_certificate_chain_file(context, files.certificate.c_str()) != 1) {
    error = "certificate " + files.certificate + ": " + TlsErrorText();
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(context, files.key.c_str(), SSL_FILETYPE_PEM) != 1) {
    error = "key " + files.key + ": " + TlsErrorText();
    return nullptr;
  }
  if (SSL_CTX_check_private_key(context) != 1) {
    error = "key " + files.key + " is not the key of " + files.certificate + ": " + TlsErrorText();
    return nullptr;
  }
  loaded->fingerprint_ = FingerprintOf(SSL_CTX_get0_certificate(context));
  if (loaded->fingerprint_.empty()) {
    error = "certificate " + files.certificate + ": its public key cannot be read";
    return nullptr;
  }
  return loaded;
}

TlsContext::~TlsContext() { SSL_CTX_free(context_); }

TlsSession TlsContext::Accept(int fd, const TlsSockets& sockets) const {
  TlsSession session(SSL_new(context_));
  BIO* bio = session && sockets.method() != nullptr ? BIO_new(sockets.method()) : nullptr;
  if (bio == nullptr) return nullptr;
  BIO_set_fd(bio, fd, BIO_NOCLOSE);
  // One BIO both ways, owned by the session from here on.
  SSL_set_bio(session.get(), bio, bio);
  SSL_set_accept_state(session.get());
  return session;
}

std::optional<std::string> KeyFingerprint(std::string_view certificate) {
  if (certificate.size() > INT_MAX) return std::nullopt;
  const std::unique_ptr<BIO, BioFree> bio(
      BIO_new_mem_buf(certificate.data(), static_cast<int>(certificate.size())));
  std::unique_ptr<X509, X509Free> parsed(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!parsed) {
    const auto* der = reinterpret_cast<const unsigned char*>(certificate.data());
    parsed.reset(d2i_X509(nullptr, &der, static_cast<long>(certificate.size())));
  }
  ERR_clear_error();
  if (!parsed) return std::nullopt;
  std::string fingerprint = FingerprintOf(parsed.get());
  if (fingerprint.empty()) return std::nullopt;
  return fingerprint;
}

}  // namespace gorvane::server
