// SPDX-License-Identifier: GPL-3.0-or-later
// Accounts and their statistics in SQLite. A password is kept only as a
// salted PBKDF2-HMAC-SHA-256 hash.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;

namespace gorvane::server {

inline constexpr int kPasswordIterations = 20000;
inline constexpr size_t kSaltBytes = 16;
inline constexpr size_t kHashBytes = 32;

// PBKDF2-HMAC-SHA-256 of a password; empty when libcrypto fails.
std::string HashPassword(std::string_view password, std::string_view salt, int iterations);

// What is stored to check a password against.
struct Credentials {
  std::string salt;
  std::string hash;
  int iterations = 0;
};

// Whether the password hashes to the stored hash; compared in constant time.
bool Matches(const Credentials& stored, std::string_view hash);

struct Statistics {
  int64_t prize = 0;
  int64_t wins = 0;
};

class AccountStore {
 private:
  struct Closer {
    void operator()(sqlite3* db) const;
  };
  // Only Open makes a store.
  struct Key {
    explicit Key() = default;
  };

 public:
  // Opens or creates the database; nothing, with the reason in error, when
  // it cannot.
  static std::unique_ptr<AccountStore> Open(const std::string& path, std::string& error);
  ~AccountStore();
  AccountStore(const AccountStore&) = delete;
  AccountStore& operator=(const AccountStore&) = delete;

  // Stores the account, or gives an existing one a new password and keeps
  // its statistics.
  bool SetPassword(std::string_view login, std::string_view password, std::string& error);
  // The stored credentials of a login; nothing for an unknown login, and
  // failed set when the database could not be read.
  std::optional<Credentials> Find(std::string_view login, bool& failed);
  std::optional<Statistics> Read(std::string_view login);
  bool AddResult(std::string_view login, int64_t prize, int64_t wins, std::string& error);

  // Closes the database; every later call fails. False when SQLite could
  // not close it cleanly.
  bool Close();

  AccountStore(Key, std::unique_ptr<sqlite3, Closer> db);

 private:
  std::unique_ptr<sqlite3, Closer> db_;
};

}  // namespace gorvane::server
