// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/accounts.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>

namespace gorvane::server {
namespace {

struct StatementCloser {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

Statement Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) return nullptr;
  return Statement(statement);
}

// Logins and hashes are bytes (logins in code page 932), kept as blobs so
// that they compare byte for byte.
void BindBytes(sqlite3_stmt* statement, int index, std::string_view bytes) {
  sqlite3_bind_blob(statement, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

std::string ColumnBytes(sqlite3_stmt* statement, int column) {
  const void* data = sqlite3_column_blob(statement, column);
  const int size = sqlite3_column_bytes(statement, column);
  return data == nullptr ? std::string()
                         : std::string(static_cast<const char*>(data), static_cast<size_t>(size));
}

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS accounts ("
    " login BLOB PRIMARY KEY,"
    " salt BLOB NOT NULL,"
    " hash BLOB NOT NULL,"
    " iterations INTEGER NOT NULL,"
    " prize INTEGER NOT NULL DEFAULT 0,"
    " wins INTEGER NOT NULL DEFAULT 0)";

}  // namespace

std::string HashPassword(std::string_view password, std::string_view salt, int iterations) {
  std::string hash(kHashBytes, '\0');
  const int ok = PKCS5_PBKDF2_HMAC(
      password.data(), static_cast<int>(password.size()), reinterpret_cast<const unsigned char*>(salt.data()),
      static_cast<int>(salt.size()), iterations, EVP_sha256(), static_cast<int>(hash.size()),
      reinterpret_cast<unsigned char*>(hash.data()));
  return ok == 1 ? hash : std::string();
}

void AccountStore::Closer::operator()(sqlite3* db) const { sqlite3_close(db); }

AccountStore::AccountStore(Key, std::unique_ptr<sqlite3, Closer> db) : db_(std::move(db)) {}
AccountStore::~AccountStore() = default;

std::unique_ptr<AccountStore> AccountStore::Open(const std::string& path, std::string& error) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  std::unique_ptr<sqlite3, Closer> db(raw);
  if (opened != SQLITE_OK) {
    error = path + ": " + (raw ? sqlite3_errmsg(raw) : "cannot open");
    return nullptr;
  }
  sqlite3_busy_timeout(db.get(), 2000);
  if (sqlite3_exec(db.get(), kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
    error = path + ": " + sqlite3_errmsg(db.get());
    return nullptr;
  }
  return std::make_unique<AccountStore>(Key(), std::move(db));
}

bool AccountStore::SetPassword(std::string_view login, std::string_view password, std::string& error) {
  if (!db_) {
    error = "the database is closed";
    return false;
  }
  std::string salt(kSaltBytes, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), static_cast<int>(salt.size())) != 1) {
    error = "no random salt";
    return false;
  }
  const std::string hash = HashPassword(password, salt, kPasswordIterations);
  if (hash.empty()) {
    error = "PBKDF2 failed";
    return false;
  }
  Statement statement = Prepare(db_.get(),
                                "INSERT INTO accounts (login, salt, hash, iterations) VALUES (?1, ?2, ?3, ?4)"
                                " ON CONFLICT (login) DO UPDATE SET salt = ?2, hash = ?3, iterations = ?4");
  if (!statement) {
    error = sqlite3_errmsg(db_.get());
    return false;
  }
  BindBytes(statement.get(), 1, login);
  BindBytes(statement.get(), 2, salt);
  BindBytes(statement.get(), 3, hash);
  sqlite3_bind_int(statement.get(), 4, kPasswordIterations);
  if (sqlite3_step(statement.get()) != SQLITE_DONE) {
    error = sqlite3_errmsg(db_.get());
    return false;
  }
  return true;
}

bool Matches(const Credentials& stored, std::string_view hash) {
  return !hash.empty() && hash.size() == stored.hash.size() &&
         CRYPTO_memcmp(hash.data(), stored.hash.data(), hash.size()) == 0;
}

std::optional<Credentials> AccountStore::Find(std::string_view login, bool& failed) {
  failed = true;
  if (!db_) return std::nullopt;
  Statement statement = Prepare(db_.get(), "SELECT salt, hash, iterations FROM accounts WHERE login = ?1");
  if (!statement) return std::nullopt;
  BindBytes(statement.get(), 1, login);
  const int step = sqlite3_step(statement.get());
  if (step == SQLITE_DONE) {
    failed = false;
    return std::nullopt;
  }
  if (step != SQLITE_ROW) return std::nullopt;
  Credentials credentials{ColumnBytes(statement.get(), 0), ColumnBytes(statement.get(), 1),
                          sqlite3_column_int(statement.get(), 2)};
  if (credentials.iterations <= 0) return std::nullopt;
  failed = false;
  return credentials;
}

bool AccountStore::Close() {
  if (!db_) return true;
  const bool clean = sqlite3_close(db_.get()) == SQLITE_OK;
  if (clean) db_.release();
  // Not closed cleanly: the handle is released when the store goes.
  return clean;
}

std::optional<Statistics> AccountStore::Read(std::string_view login) {
  if (!db_) return std::nullopt;
  Statement statement = Prepare(db_.get(), "SELECT prize, wins FROM accounts WHERE login = ?1");
  if (!statement) return std::nullopt;
  BindBytes(statement.get(), 1, login);
  if (sqlite3_step(statement.get()) != SQLITE_ROW) return std::nullopt;
  return Statistics{sqlite3_column_int64(statement.get(), 0), sqlite3_column_int64(statement.get(), 1)};
}

bool AccountStore::AddResult(std::string_view login, int64_t prize, int64_t wins, std::string& error) {
  if (!db_) {
    error = "the database is closed";
    return false;
  }
  Statement statement =
      Prepare(db_.get(), "UPDATE accounts SET prize = prize + ?2, wins = wins + ?3 WHERE login = ?1");
  if (!statement) {
    error = sqlite3_errmsg(db_.get());
    return false;
  }
  BindBytes(statement.get(), 1, login);
  sqlite3_bind_int64(statement.get(), 2, prize);
  sqlite3_bind_int64(statement.get(), 3, wins);
  if (sqlite3_step(statement.get()) != SQLITE_DONE) {
    error = sqlite3_errmsg(db_.get());
    return false;
  }
  return true;
}

}  // namespace gorvane::server
