// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/store/accounts.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <random>

#include "server/store/secrets.h"

namespace gorvane::server {

std::string HashPassword(std::string_view password, std::string_view salt, int iterations) {
  std::string hash(kHashBytes, '\0');
  const int ok = PKCS5_PBKDF2_HMAC(
      password.data(), static_cast<int>(password.size()), reinterpret_cast<const unsigned char*>(salt.data()),
      static_cast<int>(salt.size()), iterations, EVP_sha256(), static_cast<int>(hash.size()),
      reinterpret_cast<unsigned char*>(hash.data()));
  return ok == 1 ? hash : std::string();
}

bool Matches(const Credentials& stored, std::string_view hash) {
  return !hash.empty() && hash.size() == stored.hash.size() &&
         CRYPTO_memcmp(hash.data(), stored.hash.data(), hash.size()) == 0;
}

std::string NewResultId() {
  std::string id(16, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(id.data()), static_cast<int>(id.size())) != 1) {
    std::random_device device;
    for (char& byte : id) byte = static_cast<char>(device());
  }
  return id;
}

bool IsPostgresUri(std::string_view where) {
  return where.starts_with("postgresql://") || where.starts_with("postgres://");
}

std::unique_ptr<AccountStore> AccountStore::Open(const std::string& where, std::string& error,
                                                 std::chrono::milliseconds wait) {
  auto store =
      IsPostgresUri(where) ? OpenPostgresStore(where, error, wait) : OpenSqliteStore(where, error, wait);
  // Whatever the store's library said, the caller prints it.
  if (!store) error = WithoutSecrets(error, where);
  return store;
}

bool AccountStore::SetPassword(std::string_view login, std::string_view password, std::string& error) {
  Credentials credentials{std::string(kSaltBytes, '\0'), {}, kPasswordIterations};
  if (RAND_bytes(reinterpret_cast<unsigned char*>(credentials.salt.data()),
                 static_cast<int>(credentials.salt.size())) != 1) {
    error = "no random salt";
    return false;
  }
  credentials.hash = HashPassword(password, credentials.salt, kPasswordIterations);
  if (credentials.hash.empty()) {
    error = "PBKDF2 failed";
    return false;
  }
  return StoreCredentials(login, credentials, error);
}

}  // namespace gorvane::server
