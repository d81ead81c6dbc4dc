// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/store/accounts.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sodium.h>

#include <charconv>
#include <random>

#include "server/store/secrets.h"

namespace gorvane::server {

namespace {

constexpr std::string_view kArgonHead = "$argon2id$v=19$m=";

// Reads an unsigned number off the front of text.
std::optional<unsigned> TakeNumber(std::string_view& text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  text.remove_prefix(static_cast<size_t>(end - text.data()));
  return value;
}

bool TakeText(std::string_view& text, std::string_view expected) {
  if (!text.starts_with(expected)) return false;
  text.remove_prefix(expected.size());
  return true;
}

std::string Argon2id(std::string_view password, std::string_view salt) {
  salt.remove_prefix(kArgonHead.size());
  const std::optional<unsigned> kib = TakeNumber(salt);
  if (!kib || !TakeText(salt, ",t=")) return {};
  const std::optional<unsigned> passes = TakeNumber(salt);
  if (!passes || !TakeText(salt, ",p=1$") || salt.size() != crypto_pwhash_SALTBYTES) return {};
  if (*kib < 8 || *kib > kArgonMostKiB || *passes < 1 || *passes > 16) return {};
  if (sodium_init() < 0) return {};
  std::string hash(kHashBytes, '\0');
  const int failed =
      crypto_pwhash(reinterpret_cast<unsigned char*>(hash.data()), hash.size(), password.data(),
                    password.size(), reinterpret_cast<const unsigned char*>(salt.data()), *passes,
                    static_cast<size_t>(*kib) * 1024, crypto_pwhash_ALG_ARGON2ID13);
  return failed == 0 ? hash : std::string();
}

}  // namespace

std::string HashPassword(std::string_view password, std::string_view salt, int iterations) {
  if (salt.starts_with(kArgonHead)) return Argon2id(password, salt);
  std::string hash(kHashBytes, '\0');
  const int ok = PKCS5_PBKDF2_HMAC(
      password.data(), static_cast<int>(password.size()), reinterpret_cast<const unsigned char*>(salt.data()),
      static_cast<int>(salt.size()), iterations, EVP_sha256(), static_cast<int>(hash.size()),
      reinterpret_cast<unsigned char*>(hash.data()));
  return ok == 1 ? hash : std::string();
}

std::string NewSalt() {
  std::string salt(kArgonHead);
  salt += std::to_string(kArgonKiB) + ",t=" + std::to_string(kArgonPasses) + ",p=1$";
  std::string random(kSaltBytes, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(random.data()), static_cast<int>(random.size())) != 1)
    return {};
  return salt + random;
}

bool NeedsRehash(const Credentials& stored) { return !std::string_view(stored.salt).starts_with(kArgonHead); }

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
  // The iterations column keeps the passes, for a reader that looks there.
  Credentials credentials{NewSalt(), {}, static_cast<int>(kArgonPasses)};
  if (credentials.salt.empty()) {
    error = "no random salt";
    return false;
  }
  credentials.hash = HashPassword(password, credentials.salt, credentials.iterations);
  if (credentials.hash.empty()) {
    error = "Argon2id failed (out of memory?)";
    return false;
  }
  return StoreCredentials(login, credentials, error);
}

namespace {
constexpr const char* kNoModeration = "this store keeps no moderation";
}  // namespace

bool AccountStore::SetModerator(std::string_view, bool, std::string& error) {
  error = kNoModeration;
  return false;
}
std::optional<int64_t> AccountStore::AddBan(const Ban&, std::string& error) {
  error = kNoModeration;
  return std::nullopt;
}
std::optional<int64_t> AccountStore::AddMute(const Mute&, std::string& error) {
  error = kNoModeration;
  return std::nullopt;
}
std::optional<size_t> AccountStore::LiftBans(std::string_view, int64_t, std::string& error) {
  error = kNoModeration;
  return std::nullopt;
}
bool AccountStore::SetMotd(std::string_view, std::string& error) {
  error = kNoModeration;
  return false;
}
std::optional<ModerationState> AccountStore::ReadModeration(int64_t, std::string& error) {
  error = kNoModeration;
  return std::nullopt;
}
bool AccountStore::AddAudit(const AuditEntry&, std::string& error) {
  error = kNoModeration;
  return false;
}
std::optional<std::vector<AuditEntry>> AccountStore::Audit(size_t, std::string& error) {
  error = kNoModeration;
  return std::nullopt;
}
Registration AccountStore::Register(std::string_view, const Credentials&, std::string_view, int64_t,
                                    std::string& error) {
  error = kNoModeration;
  return Registration::kFailed;
}

}  // namespace gorvane::server
