// SPDX-License-Identifier: GPL-3.0-or-later
// The embedded store: one SQLite file, the default for a single server.
#include <sqlite3.h>

#include "server/store/accounts.h"

namespace gorvane::server {
namespace {

struct StatementCloser {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};

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

// Addresses and actions are ASCII, kept as text.
void BindText(sqlite3_stmt* statement, int index, std::string_view text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string ColumnBytes(sqlite3_stmt* statement, int column) {
  const void* data = sqlite3_column_blob(statement, column);
  const int size = sqlite3_column_bytes(statement, column);
  return data == nullptr ? std::string()
                         : std::string(static_cast<const char*>(data), static_cast<size_t>(size));
}

// Version 1: the accounts, and the version table itself (a file from before
// it has the accounts table alone, which version 1 keeps as it is). Version
// 2: the ids of the results applied, with when (Unix seconds).
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS accounts ("
    " login BLOB PRIMARY KEY,"
    " salt BLOB NOT NULL,"
    " hash BLOB NOT NULL,"
    " iterations INTEGER NOT NULL,"
    " prize INTEGER NOT NULL DEFAULT 0,"
    " wins INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS applied_results ("
    " id BLOB PRIMARY KEY,"
    " applied_at INTEGER NOT NULL DEFAULT (CAST(strftime('%s', 'now') AS INTEGER)));";
// Version 4: who moderates, who registered from where, and what moderators
// decided. The in-force indexes hold only what was not lifted, and the
// registration index answers a day's count for one address.
constexpr const char* kModeration =
    "ALTER TABLE accounts ADD COLUMN moderator INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE accounts ADD COLUMN registered_from TEXT;"
    "ALTER TABLE accounts ADD COLUMN registered_at INTEGER;"
    "CREATE INDEX IF NOT EXISTS accounts_registered ON accounts (registered_from, registered_at)"
    " WHERE registered_from IS NOT NULL;"
    "CREATE TABLE IF NOT EXISTS bans ("
    " id INTEGER PRIMARY KEY,"
    " login BLOB NOT NULL,"
    " address TEXT NOT NULL,"
    " made_at INTEGER NOT NULL,"
    " until INTEGER NOT NULL,"
    " moderator BLOB NOT NULL,"
    " reason BLOB NOT NULL,"
    " lifted_at INTEGER);"
    "CREATE INDEX IF NOT EXISTS bans_in_force ON bans (until) WHERE lifted_at IS NULL;"
    "CREATE TABLE IF NOT EXISTS mutes ("
    " id INTEGER PRIMARY KEY,"
    " login BLOB NOT NULL,"
    " address TEXT NOT NULL,"
    " made_at INTEGER NOT NULL,"
    " until INTEGER NOT NULL,"
    " moderator BLOB NOT NULL,"
    " reason BLOB NOT NULL,"
    " lifted_at INTEGER);"
    "CREATE INDEX IF NOT EXISTS mutes_in_force ON mutes (until) WHERE lifted_at IS NULL;"
    "CREATE TABLE IF NOT EXISTS motd (one INTEGER PRIMARY KEY CHECK (one = 1), message BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS audit ("
    " id INTEGER PRIMARY KEY,"
    " at INTEGER NOT NULL,"
    " moderator BLOB NOT NULL,"
    " action TEXT NOT NULL,"
    " target BLOB NOT NULL,"
    " reason BLOB NOT NULL);";
// A result is written again only while a server runs; ids older than any
// server's run are of no more use.
constexpr const char* kPrune =
    "DELETE FROM applied_results WHERE applied_at < CAST(strftime('%s', 'now') AS INTEGER) - 30 * 86400";

class SqliteStore final : public AccountStore {
 public:
  explicit SqliteStore(std::unique_ptr<sqlite3, DbCloser> db) : db_(std::move(db)) {}

  std::optional<Credentials> Lookup(std::string_view login, bool& failed, std::string& error) override {
    failed = true;
    Statement statement =
        Ready("SELECT salt, hash, iterations, moderator FROM accounts WHERE login = ?1", error);
    if (!statement) return std::nullopt;
    BindBytes(statement.get(), 1, login);
    const int step = sqlite3_step(statement.get());
    if (step == SQLITE_DONE) {
      failed = false;
      return std::nullopt;
    }
    if (step != SQLITE_ROW) {
      error = sqlite3_errmsg(db_.get());
      return std::nullopt;
    }
    Credentials credentials{ColumnBytes(statement.get(), 0), ColumnBytes(statement.get(), 1),
                            sqlite3_column_int(statement.get(), 2),
                            sqlite3_column_int(statement.get(), 3) != 0};
    if (credentials.iterations <= 0) {
      error = "a damaged account";
      return std::nullopt;
    }
    failed = false;
    return credentials;
  }

  std::optional<Statistics> Read(std::string_view login) override {
    if (!db_) return std::nullopt;
    Statement statement = Prepare(db_.get(), "SELECT prize, wins FROM accounts WHERE login = ?1");
    if (!statement) return std::nullopt;
    BindBytes(statement.get(), 1, login);
    if (sqlite3_step(statement.get()) != SQLITE_ROW) return std::nullopt;
    return Statistics{sqlite3_column_int64(statement.get(), 0), sqlite3_column_int64(statement.get(), 1)};
  }

  bool Apply(const OwedResult& result, std::string& error) override {
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    bool done = false;
    if (Statement mark = Ready("INSERT OR IGNORE INTO applied_results (id) VALUES (?1)", error)) {
      BindBytes(mark.get(), 1, result.id);
      done = Done(mark.get(), error);
    }
    // Applied before: the totals have it already.
    if (done && sqlite3_changes(db_.get()) == 1) {
      done = false;
      if (Statement add =
              Ready("UPDATE accounts SET prize = prize + ?2, wins = wins + ?3 WHERE login = ?1", error)) {
        BindBytes(add.get(), 1, result.login);
        sqlite3_bind_int64(add.get(), 2, result.prize);
        sqlite3_bind_int64(add.get(), 3, result.wins);
        done = Done(add.get(), error);
      }
    }
    if (done && Exec("COMMIT", error)) return true;
    std::string ignored;
    Exec("ROLLBACK", ignored);
    return false;
  }

  std::optional<std::vector<Ranked>> Leaders(RankBy by, size_t count, std::string& error) override {
    Statement statement = Ready(
        by == RankBy::kPrize
            ? "SELECT login, prize, wins FROM accounts WHERE prize > 0 ORDER BY prize DESC, login LIMIT ?1"
            : "SELECT login, prize, wins FROM accounts WHERE wins > 0 ORDER BY wins DESC, login LIMIT ?1",
        error);
    if (!statement) return std::nullopt;
    sqlite3_bind_int64(statement.get(), 1, static_cast<sqlite3_int64>(count));
    std::vector<Ranked> leaders;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement.get())) == SQLITE_ROW) {
      leaders.push_back(
          {ColumnBytes(statement.get(), 0),
           {sqlite3_column_int64(statement.get(), 1), sqlite3_column_int64(statement.get(), 2)}});
    }
    if (step != SQLITE_DONE) {
      error = sqlite3_errmsg(db_.get());
      return std::nullopt;
    }
    return leaders;
  }

  bool Ping(std::string& error) override {
    // Reads the file itself: a bare SELECT 1 would answer without it.
    Statement statement = Ready("SELECT version FROM schema_version LIMIT 1", error);
    if (!statement) return false;
    const int step = sqlite3_step(statement.get());
    if (step == SQLITE_ROW || step == SQLITE_DONE) return true;
    error = sqlite3_errmsg(db_.get());
    return false;
  }

  std::optional<std::vector<Account>> All(std::string& error) override {
    Statement statement =
        Ready("SELECT login, salt, hash, iterations, prize, wins, moderator FROM accounts", error);
    if (!statement) return std::nullopt;
    std::vector<Account> accounts;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement.get())) == SQLITE_ROW) {
      accounts.push_back(
          {ColumnBytes(statement.get(), 0),
           {ColumnBytes(statement.get(), 1), ColumnBytes(statement.get(), 2),
            sqlite3_column_int(statement.get(), 3), sqlite3_column_int(statement.get(), 6) != 0},
           {sqlite3_column_int64(statement.get(), 4), sqlite3_column_int64(statement.get(), 5)}});
    }
    if (step != SQLITE_DONE) {
      error = sqlite3_errmsg(db_.get());
      return std::nullopt;
    }
    return accounts;
  }

  std::optional<size_t> Import(const std::vector<Account>& accounts, std::string& error) override {
    if (!Exec("BEGIN", error)) return std::nullopt;
    size_t copied = 0;
    bool failed = false;
    for (const Account& account : accounts) {
      failed = true;
      Statement statement = Ready(
          "INSERT INTO accounts (login, salt, hash, iterations, prize, wins, moderator)"
          " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7) ON CONFLICT (login) DO NOTHING",
          error);
      if (!statement) break;
      BindBytes(statement.get(), 1, account.login);
      BindBytes(statement.get(), 2, account.credentials.salt);
      BindBytes(statement.get(), 3, account.credentials.hash);
      sqlite3_bind_int(statement.get(), 4, account.credentials.iterations);
      sqlite3_bind_int64(statement.get(), 5, account.statistics.prize);
      sqlite3_bind_int64(statement.get(), 6, account.statistics.wins);
      sqlite3_bind_int(statement.get(), 7, account.credentials.moderator ? 1 : 0);
      if (!Done(statement.get(), error)) break;
      copied += static_cast<size_t>(sqlite3_changes(db_.get()));
      failed = false;
    }
    if (failed) {
      std::string ignored;
      Exec("ROLLBACK", ignored);
      return std::nullopt;
    }
    if (!Exec("COMMIT", error)) return std::nullopt;
    return copied;
  }

  bool Close() override {
    if (!db_) return true;
    const bool clean = sqlite3_close(db_.get()) == SQLITE_OK;
    if (clean) db_.release();
    // Not closed cleanly: the handle is released when the store goes.
    return clean;
  }

  // Brings the file to the schema this program knows; false with the reason
  // when it holds a newer one. One transaction: a second server opening the
  // file at once waits, then finds it done.
  bool Migrate(const std::string& path, std::string& error) {
    const auto fail = [&] {
      error = path + ": " + error;
      std::string ignored;
      Exec("ROLLBACK", ignored);
      return false;
    };
    if (!Exec("BEGIN IMMEDIATE", error) || !Exec(kSchema, error)) return fail();
    Statement statement = Prepare(db_.get(), "SELECT MAX(version) FROM schema_version");
    int version = 0;
    if (statement && sqlite3_step(statement.get()) == SQLITE_ROW)
      version = sqlite3_column_int(statement.get(), 0);
    statement.reset();
    if (version > kSchemaVersion) {
      error = "the accounts are at schema version " + std::to_string(version) +
              ", newer than this program's " + std::to_string(kSchemaVersion) +
              "; run a newer gorvane-server";
      return fail();
    }
    if (version < 4 && !Exec(kModeration, error)) return fail();
    if (version < kSchemaVersion &&
        !Exec("INSERT INTO schema_version (version) VALUES (" + std::to_string(kSchemaVersion) + ")",
              error)) {
      return fail();
    }
    if (!Exec("COMMIT", error)) return fail();
    std::string ignored;
    Exec(kPrune, ignored);
    return true;
  }

  bool SetModerator(std::string_view login, bool moderator, std::string& error) override {
    Statement statement = Ready("UPDATE accounts SET moderator = ?2 WHERE login = ?1", error);
    if (!statement) return false;
    BindBytes(statement.get(), 1, login);
    sqlite3_bind_int(statement.get(), 2, moderator ? 1 : 0);
    if (!Done(statement.get(), error)) return false;
    if (sqlite3_changes(db_.get()) == 1) return true;
    error = "no such account";
    return false;
  }

  std::optional<int64_t> AddBan(const Ban& ban, std::string& error) override {
    return AddRestriction(
        "INSERT INTO bans (login, address, made_at, until, moderator, reason)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
        ban, error);
  }
  std::optional<int64_t> AddMute(const Mute& mute, std::string& error) override {
    return AddRestriction(
        "INSERT INTO mutes (login, address, made_at, until, moderator, reason)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
        mute, error);
  }

  std::optional<size_t> LiftBans(std::string_view target, int64_t now, std::string& error) override {
    Statement statement = Ready(
        "UPDATE bans SET lifted_at = ?3 WHERE lifted_at IS NULL AND (until = 0 OR until > ?3)"
        " AND (login = ?1 OR address = ?2)",
        error);
    if (!statement) return std::nullopt;
    BindBytes(statement.get(), 1, target);
    BindText(statement.get(), 2, target);
    sqlite3_bind_int64(statement.get(), 3, now);
    if (!Done(statement.get(), error)) return std::nullopt;
    return static_cast<size_t>(sqlite3_changes(db_.get()));
  }

  bool SetMotd(std::string_view text, std::string& error) override {
    Statement statement = Ready(text.empty() ? "DELETE FROM motd"
                                             : "INSERT INTO motd (one, message) VALUES (1, ?1)"
                                               " ON CONFLICT (one) DO UPDATE SET message = ?1",
                                error);
    if (!statement) return false;
    if (!text.empty()) BindBytes(statement.get(), 1, text);
    return Done(statement.get(), error);
  }

  std::optional<ModerationState> ReadModeration(int64_t now, std::string& error) override {
    // One read transaction: the three tables as of one moment.
    if (!Exec("BEGIN", error)) return std::nullopt;
    ModerationState state;
    const bool read = ReadInForce("bans", now, state.bans, error) &&
                      ReadInForce("mutes", now, state.mutes, error) && ReadMotd(state.motd, error);
    std::string ignored;
    Exec(read ? "COMMIT" : "ROLLBACK", ignored);
    if (!read) return std::nullopt;
    return state;
  }

  bool AddAudit(const AuditEntry& entry, std::string& error) override {
    Statement statement =
        Ready("INSERT INTO audit (at, moderator, action, target, reason) VALUES (?1, ?2, ?3, ?4, ?5)", error);
    if (!statement) return false;
    sqlite3_bind_int64(statement.get(), 1, entry.at);
    BindBytes(statement.get(), 2, entry.moderator);
    BindText(statement.get(), 3, entry.action);
    BindBytes(statement.get(), 4, entry.target);
    BindBytes(statement.get(), 5, entry.reason);
    return Done(statement.get(), error);
  }

  std::optional<std::vector<AuditEntry>> Audit(size_t count, std::string& error) override {
    Statement statement =
        Ready("SELECT at, moderator, action, target, reason FROM audit ORDER BY id DESC LIMIT ?1", error);
    if (!statement) return std::nullopt;
    sqlite3_bind_int64(statement.get(), 1, static_cast<sqlite3_int64>(count));
    std::vector<AuditEntry> entries;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement.get())) == SQLITE_ROW) {
      entries.push_back({sqlite3_column_int64(statement.get(), 0), ColumnBytes(statement.get(), 1),
                         ColumnBytes(statement.get(), 2), ColumnBytes(statement.get(), 3),
                         ColumnBytes(statement.get(), 4)});
    }
    if (step != SQLITE_DONE) {
      error = sqlite3_errmsg(db_.get());
      return std::nullopt;
    }
    return entries;
  }

  Registration Register(std::string_view login, const Credentials& credentials, std::string_view address,
                        int64_t now, std::string& error) override {
    // IMMEDIATE takes the write lock first: the count and the insert see
    // no other writer between them.
    if (!Exec("BEGIN IMMEDIATE", error)) return Registration::kFailed;
    const Registration made = RegisterLocked(login, credentials, address, now, error);
    std::string ignored;
    if (made == Registration::kCreated) {
      if (Exec("COMMIT", error)) return made;
      Exec("ROLLBACK", ignored);
      return Registration::kFailed;
    }
    Exec("ROLLBACK", ignored);
    return made;
  }

 protected:
  bool StoreCredentials(std::string_view login, const Credentials& credentials, std::string& error) override {
    Statement statement = Ready(
        "INSERT INTO accounts (login, salt, hash, iterations) VALUES (?1, ?2, ?3, ?4)"
        " ON CONFLICT (login) DO UPDATE SET salt = ?2, hash = ?3, iterations = ?4",
        error);
    if (!statement) return false;
    BindBytes(statement.get(), 1, login);
    BindBytes(statement.get(), 2, credentials.salt);
    BindBytes(statement.get(), 3, credentials.hash);
    sqlite3_bind_int(statement.get(), 4, credentials.iterations);
    return Done(statement.get(), error);
  }

 private:
  Registration RegisterLocked(std::string_view login, const Credentials& credentials,
                              std::string_view address, int64_t now, std::string& error) {
    Statement known = Ready("SELECT 1 FROM accounts WHERE login = ?1", error);
    if (!known) return Registration::kFailed;
    BindBytes(known.get(), 1, login);
    const int step = sqlite3_step(known.get());
    if (step == SQLITE_ROW) return Registration::kTaken;
    if (step != SQLITE_DONE) {
      error = sqlite3_errmsg(db_.get());
      return Registration::kFailed;
    }
    Statement count = Ready(
        "SELECT COUNT(*) FROM accounts WHERE registered_from = ?1 AND registered_at > ?2 - 86400"
        " AND registered_at <= ?2",
        error);
    if (!count) return Registration::kFailed;
    BindText(count.get(), 1, address);
    sqlite3_bind_int64(count.get(), 2, now);
    if (sqlite3_step(count.get()) != SQLITE_ROW) {
      error = sqlite3_errmsg(db_.get());
      return Registration::kFailed;
    }
    if (sqlite3_column_int64(count.get(), 0) >= kRegistrationsPerDay) return Registration::kLimit;
    Statement insert = Ready(
        "INSERT INTO accounts (login, salt, hash, iterations, registered_from, registered_at)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
        error);
    if (!insert) return Registration::kFailed;
    BindBytes(insert.get(), 1, login);
    BindBytes(insert.get(), 2, credentials.salt);
    BindBytes(insert.get(), 3, credentials.hash);
    sqlite3_bind_int(insert.get(), 4, credentials.iterations);
    BindText(insert.get(), 5, address);
    sqlite3_bind_int64(insert.get(), 6, now);
    return Done(insert.get(), error) ? Registration::kCreated : Registration::kFailed;
  }

  template <typename Restriction>
  std::optional<int64_t> AddRestriction(const char* sql, const Restriction& made, std::string& error) {
    Statement statement = Ready(sql, error);
    if (!statement) return std::nullopt;
    BindBytes(statement.get(), 1, made.login);
    BindText(statement.get(), 2, made.address);
    sqlite3_bind_int64(statement.get(), 3, made.madeAt);
    sqlite3_bind_int64(statement.get(), 4, made.until);
    BindBytes(statement.get(), 5, made.moderator);
    BindBytes(statement.get(), 6, made.reason);
    if (!Done(statement.get(), error)) return std::nullopt;
    return sqlite3_last_insert_rowid(db_.get());
  }

  template <typename Restriction>
  bool ReadInForce(const std::string& table, int64_t now, std::vector<Restriction>& into,
                   std::string& error) {
    const std::string sql =
        "SELECT id, login, address, made_at, until, moderator, reason FROM " + table +
        " WHERE lifted_at IS NULL AND (until = 0 OR until > ?1) ORDER BY made_at DESC, id DESC";
    Statement statement = Ready(sql.c_str(), error);
    if (!statement) return false;
    sqlite3_bind_int64(statement.get(), 1, now);
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement.get())) == SQLITE_ROW) {
      into.push_back({sqlite3_column_int64(statement.get(), 0), ColumnBytes(statement.get(), 1),
                      ColumnBytes(statement.get(), 2), sqlite3_column_int64(statement.get(), 3),
                      sqlite3_column_int64(statement.get(), 4), ColumnBytes(statement.get(), 5),
                      ColumnBytes(statement.get(), 6)});
    }
    if (step == SQLITE_DONE) return true;
    error = sqlite3_errmsg(db_.get());
    return false;
  }

  bool ReadMotd(std::string& motd, std::string& error) {
    Statement statement = Ready("SELECT message FROM motd WHERE one = 1", error);
    if (!statement) return false;
    const int step = sqlite3_step(statement.get());
    if (step == SQLITE_ROW) motd = ColumnBytes(statement.get(), 0);
    if (step == SQLITE_ROW || step == SQLITE_DONE) return true;
    error = sqlite3_errmsg(db_.get());
    return false;
  }

  Statement Ready(const char* sql, std::string& error) {
    if (!db_) {
      error = "the database is closed";
      return nullptr;
    }
    Statement statement = Prepare(db_.get(), sql);
    if (!statement) error = sqlite3_errmsg(db_.get());
    return statement;
  }
  bool Done(sqlite3_stmt* statement, std::string& error) {
    if (sqlite3_step(statement) == SQLITE_DONE) return true;
    error = sqlite3_errmsg(db_.get());
    return false;
  }
  bool Exec(const std::string& sql, std::string& error) {
    if (!db_) {
      error = "the database is closed";
      return false;
    }
    if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    error = sqlite3_errmsg(db_.get());
    return false;
  }

  std::unique_ptr<sqlite3, DbCloser> db_;
};

}  // namespace

std::unique_ptr<AccountStore> OpenSqliteStore(const std::string& path, std::string& error,
                                              std::chrono::milliseconds wait) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  std::unique_ptr<sqlite3, DbCloser> db(raw);
  if (opened != SQLITE_OK) {
    error = path + ": " + (raw ? sqlite3_errmsg(raw) : "cannot open");
    return nullptr;
  }
  sqlite3_busy_timeout(db.get(), wait.count() > 0 ? static_cast<int>(wait.count()) : 2000);
  auto store = std::make_unique<SqliteStore>(std::move(db));
  if (!store->Migrate(path, error)) return nullptr;
  return store;
}

}  // namespace gorvane::server
