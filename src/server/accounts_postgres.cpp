// The shared store: one PostgreSQL database that several servers use, so a
// player's account, prize and wins are the same in every lobby.
#include <arpa/inet.h>
#include <libpq-fe.h>

#include <cstring>
#include <mutex>

#include "server/accounts.h"

namespace gorvane::server {
namespace {

struct ResultCloser {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultCloser>;
struct ConnectionCloser {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};

// Logins, salts and hashes are bytes (logins in code page 932): bytea,
// sent and read in binary so that they compare byte for byte.
struct Param {
  std::string value;
  bool binary = true;
};
Param Bytes(std::string_view bytes) { return {std::string(bytes), true}; }
Param Text(int64_t number) { return {std::to_string(number), false}; }

std::string BytesAt(const PGresult* result, int row, int column) {
  return std::string(PQgetvalue(result, row, column), static_cast<size_t>(PQgetlength(result, row, column)));
}

// Binary integers come in network order.
int64_t IntegerAt(const PGresult* result, int row, int column) {
  const char* data = PQgetvalue(result, row, column);
  if (PQgetlength(result, row, column) == 4) {
    uint32_t value = 0;
    std::memcpy(&value, data, 4);
    return static_cast<int32_t>(ntohl(value));
  }
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | static_cast<unsigned char>(data[i]);
  return static_cast<int64_t>(value);
}

// One server creating the tables while another does must not fail either.
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(2101200001)";
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS accounts ("
    " login BYTEA PRIMARY KEY,"
    " salt BYTEA NOT NULL,"
    " hash BYTEA NOT NULL,"
    " iterations INTEGER NOT NULL,"
    " prize BIGINT NOT NULL DEFAULT 0,"
    " wins BIGINT NOT NULL DEFAULT 0)";
constexpr const char* kVersionTable = "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)";

class PostgresStore final : public AccountStore {
 public:
  explicit PostgresStore(std::unique_ptr<PGconn, ConnectionCloser> connection)
      : connection_(std::move(connection)) {}

  std::optional<Credentials> Find(std::string_view login, bool& failed) override {
    const std::lock_guard lock(mutex_);
    failed = true;
    std::string error;
    Result result =
        Run("SELECT salt, hash, iterations FROM accounts WHERE login = $1", {Bytes(login)}, error);
    if (!result) return std::nullopt;
    failed = false;
    if (PQntuples(result.get()) == 0) return std::nullopt;
    Credentials credentials{BytesAt(result.get(), 0, 0), BytesAt(result.get(), 0, 1),
                            static_cast<int>(IntegerAt(result.get(), 0, 2))};
    if (credentials.iterations <= 0) {
      failed = true;
      return std::nullopt;
    }
    return credentials;
  }

  std::optional<Statistics> Read(std::string_view login) override {
    const std::lock_guard lock(mutex_);
    std::string error;
    Result result = Run("SELECT prize, wins FROM accounts WHERE login = $1", {Bytes(login)}, error);
    if (!result || PQntuples(result.get()) == 0) return std::nullopt;
    return Statistics{IntegerAt(result.get(), 0, 0), IntegerAt(result.get(), 0, 1)};
  }

  bool AddResult(std::string_view login, int64_t prize, int64_t wins, std::string& error) override {
    const std::lock_guard lock(mutex_);
    return Run("UPDATE accounts SET prize = prize + $2::bigint, wins = wins + $3::bigint WHERE login = $1",
               {Bytes(login), Text(prize), Text(wins)}, error) != nullptr;
  }

  std::optional<std::vector<Account>> All(std::string& error) override {
    const std::lock_guard lock(mutex_);
    Result result = Run("SELECT login, salt, hash, iterations, prize, wins FROM accounts", {}, error);
    if (!result) return std::nullopt;
    std::vector<Account> accounts;
    for (int row = 0; row < PQntuples(result.get()); ++row) {
      accounts.push_back({BytesAt(result.get(), row, 0),
                          {BytesAt(result.get(), row, 1), BytesAt(result.get(), row, 2),
                           static_cast<int>(IntegerAt(result.get(), row, 3))},
                          {IntegerAt(result.get(), row, 4), IntegerAt(result.get(), row, 5)}});
    }
    return accounts;
  }

  std::optional<size_t> Import(const std::vector<Account>& accounts, std::string& error) override {
    const std::lock_guard lock(mutex_);
    if (!Run("BEGIN", {}, error)) return std::nullopt;
    size_t copied = 0;
    for (const Account& account : accounts) {
      Result result =
          Run("INSERT INTO accounts (login, salt, hash, iterations, prize, wins)"
              " VALUES ($1, $2, $3, $4::integer, $5::bigint, $6::bigint) ON CONFLICT (login) DO NOTHING",
              {Bytes(account.login), Bytes(account.credentials.salt), Bytes(account.credentials.hash),
               Text(account.credentials.iterations), Text(account.statistics.prize),
               Text(account.statistics.wins)},
              error);
      if (!result) {
        std::string ignored;
        Run("ROLLBACK", {}, ignored);
        return std::nullopt;
      }
      copied += static_cast<size_t>(std::atoi(PQcmdTuples(result.get())));
    }
    if (!Run("COMMIT", {}, error)) return std::nullopt;
    return copied;
  }

  bool Close() override {
    const std::lock_guard lock(mutex_);
    connection_.reset();
    return true;
  }

  bool Migrate(std::string& error) {
    if (!Run("BEGIN", {}, error)) return false;
    const bool done = Run(kMigrationLock, {}, error) && Run(kSchema, {}, error) &&
                      Run(kVersionTable, {}, error) && Upgrade(error);
    std::string ignored;
    if (!done) {
      Run("ROLLBACK", {}, ignored);
      return false;
    }
    return Run("COMMIT", {}, error) != nullptr;
  }

 protected:
  bool StoreCredentials(std::string_view login, const Credentials& credentials, std::string& error) override {
    const std::lock_guard lock(mutex_);
    return Run("INSERT INTO accounts (login, salt, hash, iterations) VALUES ($1, $2, $3, $4::integer)"
               " ON CONFLICT (login) DO UPDATE SET salt = $2, hash = $3, iterations = $4::integer",
               {Bytes(login), Bytes(credentials.salt), Bytes(credentials.hash), Text(credentials.iterations)},
               error) != nullptr;
  }

 private:
  bool Upgrade(std::string& error) {
    Result result = Run("SELECT COALESCE(MAX(version), 0) FROM schema_version", {}, error);
    if (!result) return false;
    const int64_t version = IntegerAt(result.get(), 0, 0);
    if (version > kSchemaVersion) {
      error = "the accounts are at schema version " + std::to_string(version) +
              ", newer than this program's " + std::to_string(kSchemaVersion) +
              "; run a newer gorvane-server";
      return false;
    }
    if (version == kSchemaVersion) return true;
    return Run("INSERT INTO schema_version (version) VALUES ($1::integer)", {Text(kSchemaVersion)}, error) !=
           nullptr;
  }

  // One statement with its parameters; binary results. A connection the
  // database dropped (a restart) is made again once before giving up.
  Result Run(const char* sql, const std::vector<Param>& params, std::string& error) {
    if (!connection_) {
      error = "the database is closed";
      return nullptr;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
      std::vector<const char*> values;
      std::vector<int> lengths;
      std::vector<int> formats;
      for (const Param& param : params) {
        values.push_back(param.value.data());
        lengths.push_back(static_cast<int>(param.value.size()));
        formats.push_back(param.binary ? 1 : 0);
      }
      Result result(PQexecParams(connection_.get(), sql, static_cast<int>(params.size()), nullptr,
                                 values.data(), lengths.data(), formats.data(), 1));
      const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
      if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return result;
      error = PQerrorMessage(connection_.get());
      while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
      // A refused statement stands; only a lost connection is tried again.
      if (PQstatus(connection_.get()) != CONNECTION_BAD) return nullptr;
      PQreset(connection_.get());
      if (PQstatus(connection_.get()) != CONNECTION_OK) return nullptr;
    }
    return nullptr;
  }

  // One connection, and the loop and a worker may both use the store: one
  // statement (or transaction) at a time.
  std::mutex mutex_;
  std::unique_ptr<PGconn, ConnectionCloser> connection_;
};

}  // namespace

std::unique_ptr<AccountStore> OpenPostgresStore(const std::string& uri, std::string& error) {
  std::unique_ptr<PGconn, ConnectionCloser> connection(PQconnectdb(uri.c_str()));
  if (!connection || PQstatus(connection.get()) != CONNECTION_OK) {
    error = "PostgreSQL: " + std::string(connection ? PQerrorMessage(connection.get()) : "out of memory");
    while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
    return nullptr;
  }
  // The server's log has no room for the database's chatter ("already
  // exists, skipping").
  PQsetNoticeProcessor(
      connection.get(), [](void*, const char*) {}, nullptr);
  auto store = std::make_unique<PostgresStore>(std::move(connection));
  if (!store->Migrate(error)) {
    error = "PostgreSQL: " + error;
    return nullptr;
  }
  return store;
}

}  // namespace gorvane::server
