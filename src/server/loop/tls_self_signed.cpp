// SPDX-License-Identifier: GPL-3.0-or-later
// --tls-self-signed: a pair made once and kept, so that the fingerprint
// players pinned stays the same from one start to the next.
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>

#include "server/loop/tls.h"
#include "server/store/accounts.h"

namespace gorvane::server {
namespace {

constexpr const char* kKeyFile = "gorvane-tls-key.pem";
constexpr const char* kCertificateFile = "gorvane-tls-cert.pem";
// The key is pinned by clients, not the certificate's dates: long enough
// never to expire under a running server.
constexpr long kValidSeconds = 20L * 365 * 24 * 3600;

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct BnFree {
  void operator()(BIGNUM* number) const { BN_free(number); }
};

std::string Pem(const std::function<int(BIO*)>& write) {
  const std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get()) != 1) return {};
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

// Written beside its final name and renamed over it, so that a crash leaves
// the old file or the new one, never half of one.
bool WriteFile(const std::string& path, const std::string& bytes, mode_t mode, std::string& error) {
  const std::string partial = path + ".part";
  const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) {
    error = partial + ": " + std::strerror(errno);
    return false;
  }
  // A file left over from another attempt keeps its mode through O_TRUNC.
  bool ok = ::fchmod(fd, mode) == 0;
  for (size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  if (!ok) error = partial + ": " + std::strerror(errno);
  ::close(fd);
  if (ok && ::rename(partial.c_str(), path.c_str()) != 0) {
    error = path + ": " + std::strerror(errno);
    ok = false;
  }
  if (!ok) ::unlink(partial.c_str());
  return ok;
}

bool Make(const TlsFiles& files, std::string& error) {
  ERR_clear_error();
  const std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_EC_gen("P-256"));
  const std::unique_ptr<X509, X509Free> certificate(X509_new());
  const std::unique_ptr<BIGNUM, BnFree> serial(BN_new());
  bool ok = key && certificate && serial && X509_set_version(certificate.get(), 2) == 1 &&
            BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
            BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get())) != nullptr &&
            X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kValidSeconds) != nullptr &&
            X509_set_pubkey(certificate.get(), key.get()) == 1;
  X509_NAME* name = ok ? X509_get_subject_name(certificate.get()) : nullptr;
  ok = ok && name != nullptr &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char*>("gorvane-server"), -1, -1, 0) == 1 &&
       X509_set_issuer_name(certificate.get(), name) == 1 &&
       X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0;
  if (!ok) {
    error = "cannot make a self-signed certificate: " + TlsErrorText();
    return false;
  }
  const std::string keyPem = Pem([&](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  const std::string certificatePem =
      Pem([&](BIO* bio) { return PEM_write_bio_X509(bio, certificate.get()); });
  if (keyPem.empty() || certificatePem.empty()) {
    error = "cannot write the self-signed pair: " + TlsErrorText();
    return false;
  }
  // The key first: a certificate is only ever found beside its own key.
  return WriteFile(files.key, keyPem, 0600, error) &&
         WriteFile(files.certificate, certificatePem, 0644, error);
}

}  // namespace

std::string SelfSignedFolder(const std::string& databasePath, const char* stateDirectory) {
  if (!IsPostgresUri(databasePath)) {
    const std::string folder = std::filesystem::path(databasePath).parent_path().string();
    return folder.empty() ? "." : folder;
  }
  // systemd may give several folders, colon-separated; the first is ours.
  if (stateDirectory != nullptr && *stateDirectory != '\0') {
    const std::string folders(stateDirectory);
    return folders.substr(0, folders.find(':'));
  }
  return ".";
}

std::optional<TlsFiles> SelfSigned(const std::string& folder, bool& made, std::string& error) {
  const TlsFiles files{(std::filesystem::path(folder) / kCertificateFile).string(),
                       (std::filesystem::path(folder) / kKeyFile).string()};
  std::error_code ignored;
  made = !std::filesystem::exists(files.certificate, ignored) || !std::filesystem::exists(files.key, ignored);
  if (made && !Make(files, error)) return std::nullopt;
  return files;
}

}  // namespace gorvane::server
