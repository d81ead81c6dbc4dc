// SPDX-License-Identifier: GPL-3.0-or-later
// The shared store: one PostgreSQL database that several servers use, so a
// player's account, prize and wins are the same in every lobby.
#include <arpa/inet.h>
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "server/store/accounts.h"
#include "server/store/secrets.h"

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
// Addresses and actions are ASCII text.
Param Words(std::string_view text) { return {std::string(text), false}; }

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
// Version 2: the ids of the results applied.
constexpr const char* kAppliedTable =
    "CREATE TABLE IF NOT EXISTS applied_results ("
    " id BYTEA PRIMARY KEY,"
    " applied_at TIMESTAMPTZ NOT NULL DEFAULT now())";
// Version 4: who moderates, who registered from where, and what moderators
// decided. The in-force indexes hold only what was not lifted (every
// server reads them each second), and the registration index answers a
// day's count for one address.
constexpr const char* kModeration[] = {
    "ALTER TABLE accounts ADD COLUMN IF NOT EXISTS moderator INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE accounts ADD COLUMN IF NOT EXISTS registered_from TEXT",
    "ALTER TABLE accounts ADD COLUMN IF NOT EXISTS registered_at BIGINT",
    "CREATE INDEX IF NOT EXISTS accounts_registered ON accounts (registered_from, registered_at)"
    " WHERE registered_from IS NOT NULL",
    "CREATE TABLE IF NOT EXISTS bans ("
    " id BIGSERIAL PRIMARY KEY,"
    " login BYTEA NOT NULL,"
    " address TEXT NOT NULL,"
    " made_at BIGINT NOT NULL,"
    " until BIGINT NOT NULL,"
    " moderator BYTEA NOT NULL,"
    " reason BYTEA NOT NULL,"
    " lifted_at BIGINT)",
    "CREATE INDEX IF NOT EXISTS bans_in_force ON bans (until) WHERE lifted_at IS NULL",
    "CREATE TABLE IF NOT EXISTS mutes ("
    " id BIGSERIAL PRIMARY KEY,"
    " login BYTEA NOT NULL,"
    " address TEXT NOT NULL,"
    " made_at BIGINT NOT NULL,"
    " until BIGINT NOT NULL,"
    " moderator BYTEA NOT NULL,"
    " reason BYTEA NOT NULL,"
    " lifted_at BIGINT)",
    "CREATE INDEX IF NOT EXISTS mutes_in_force ON mutes (until) WHERE lifted_at IS NULL",
    "CREATE TABLE IF NOT EXISTS motd (one INTEGER PRIMARY KEY CHECK (one = 1), message BYTEA NOT NULL)",
    "CREATE TABLE IF NOT EXISTS audit ("
    " id BIGSERIAL PRIMARY KEY,"
    " at BIGINT NOT NULL,"
    " moderator BYTEA NOT NULL,"
    " action TEXT NOT NULL,"
    " target BYTEA NOT NULL,"
    " reason BYTEA NOT NULL)",
};
// Registrations from one address wait for each other, whichever server
// takes them, so that the day's count and the insert cannot interleave.
// The first key sets these locks apart from the migration's.
constexpr const char* kRegistrationLock = "SELECT pg_advisory_xact_lock(2101200002, hashtext($1::text))";
constexpr const char* kReadModeration =
    "SELECT 0, id, login, address, made_at, until, moderator, reason FROM bans"
    " WHERE lifted_at IS NULL AND (until = 0 OR until > $1::bigint)"
    " UNION ALL SELECT 1, id, login, address, made_at, until, moderator, reason FROM mutes"
    " WHERE lifted_at IS NULL AND (until = 0 OR until > $1::bigint)"
    " UNION ALL SELECT 2, 0::bigint, message, '', 0::bigint, 0::bigint, ''::bytea, ''::bytea FROM motd"
    " ORDER BY 1, 5 DESC, 2 DESC";
// A result is written again only while a server runs; ids older than any
// server's run are of no more use.
constexpr const char* kPrune = "DELETE FROM applied_results WHERE applied_at < now() - interval '30 days'";
// Marking the result applied and adding it are one statement, so one
// transaction whoever commits it: a result whose id is there already adds
// nothing.
constexpr const char* kApply =
    "WITH fresh AS (INSERT INTO applied_results (id) VALUES ($1) ON CONFLICT (id) DO NOTHING RETURNING id)"
    " UPDATE accounts SET prize = prize + $3::bigint, wins = wins + $4::bigint"
    " WHERE login = $2 AND EXISTS (SELECT 1 FROM fresh)";

// A database that does not answer must not hold a login, a write or a stop
// for long. The database ends a statement past the statement timeout (a
// table locked by VACUUM FULL, REINDEX or ALTER TABLE); a database that does
// not answer at all (a frozen process, a lost host, a Unix socket, where TCP
// timeouts do not apply) is given up on here: every call waits on the
// socket, up to the timeout and a margin, and drops the connection past it.
using Clock = std::chrono::steady_clock;
constexpr auto kFirstRetry = std::chrono::milliseconds(500);
constexpr auto kLastRetry = std::chrono::seconds(10);
// Time for the database's own answer to a statement it ended, and for the
// way there and back.
constexpr auto kAnswerMargin = std::chrono::seconds(1);
// How long making a connection may take, the start-up exchange included.
constexpr auto kConnectWait = std::chrono::seconds(3);
// How often a wait looks whether the store was abandoned.
constexpr auto kAbandonCheck = std::chrono::milliseconds(50);

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  const size_t line = text.find('\n');
  if (line != std::string::npos) text.resize(line);
  return text;
}

// Waits for the connection's socket to be readable (or writable too); false,
// with the reason, past the deadline or once the store is abandoned.
bool Await(PGconn* connection, bool write, Clock::time_point deadline, const std::atomic<bool>* abandoned,
           std::string& error) {
  for (;;) {
    if (abandoned && abandoned->load()) {
      error = "the server is stopping: the database call was given up";
      return false;
    }
    const Clock::time_point now = Clock::now();
    if (now >= deadline) {
      error = "the database did not answer in time";
      return false;
    }
    const auto slice = std::min<Clock::duration>(deadline - now, kAbandonCheck);
    pollfd ready{PQsocket(connection), static_cast<short>(POLLIN | (write ? POLLOUT : 0)), 0};
    if (ready.fd < 0) {
      error = "no connection to the database";
      return false;
    }
    const int got =
        ::poll(&ready, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(slice).count()));
    if (got > 0) return true;
    if (got < 0 && errno != EINTR) {
      error = std::string("poll: ") + std::strerror(errno);
      return false;
    }
  }
}

std::unique_ptr<PGconn, ConnectionCloser> Connect(const std::string& uri, std::chrono::milliseconds wait,
                                                  const std::atomic<bool>* abandoned, std::string& error) {
  std::vector<const char*> keys;
  std::vector<const char*> values;
  if (std::getenv("PGCONNECT_TIMEOUT") == nullptr) {
    keys.push_back("connect_timeout");
    values.push_back("3");
  }
  const std::string statementTimeout = "-c statement_timeout=" + std::to_string(wait.count());
  keys.push_back("options");
  values.push_back(statementTimeout.c_str());
  // A peer gone silent over TCP is noticed by the kernel too.
  for (const auto& [key, value] :
       {std::pair{"keepalives_idle", "5"}, std::pair{"keepalives_interval", "2"},
        std::pair{"keepalives_count", "2"}, std::pair{"tcp_user_timeout", "5000"}}) {
    keys.push_back(key);
    values.push_back(value);
  }
  // Last, so that what the URI says wins.
  keys.push_back("dbname");
  values.push_back(uri.c_str());
  keys.push_back(nullptr);
  values.push_back(nullptr);
  std::unique_ptr<PGconn, ConnectionCloser> connection(PQconnectStartParams(keys.data(), values.data(), 1));
  // libpq quotes the URI, password and all, when it cannot parse it.
  const auto failed = [&](std::string why) {
    error = WithoutSecrets(Trimmed(std::move(why)), uri);
    return nullptr;
  };
  if (!connection) return failed("out of memory");
  if (PQstatus(connection.get()) == CONNECTION_BAD) return failed(PQerrorMessage(connection.get()));
  const Clock::time_point deadline = Clock::now() + kConnectWait;
  for (PostgresPollingStatusType status = PGRES_POLLING_WRITING; status != PGRES_POLLING_OK;
       status = PQconnectPoll(connection.get())) {
    if (status == PGRES_POLLING_FAILED) return failed(PQerrorMessage(connection.get()));
    std::string why;
    if (!Await(connection.get(), status == PGRES_POLLING_WRITING, deadline, abandoned, why)) {
      return failed("connecting: " + why);
    }
  }
  // Statements are sent and answered through Await, never waited for in
  // libpq.
  if (PQsetnonblocking(connection.get(), 1) != 0) return failed(PQerrorMessage(connection.get()));
  // The server's log has no room for the database's chatter ("already
  // exists, skipping").
  PQsetNoticeProcessor(
      connection.get(), [](void*, const char*) {}, nullptr);
  return connection;
}

class PostgresStore final : public AccountStore {
 public:
  PostgresStore(std::string uri, std::chrono::milliseconds wait,
                std::unique_ptr<PGconn, ConnectionCloser> connection)
      : uri_(std::move(uri)), wait_(wait), connection_(std::move(connection)) {}

  std::optional<Credentials> Lookup(std::string_view login, bool& failed, std::string& error) override {
    const std::lock_guard lock(mutex_);
    failed = true;
    Result result =
        Run("SELECT salt, hash, iterations, moderator FROM accounts WHERE login = $1", {Bytes(login)}, error);
    if (!result) return std::nullopt;
    failed = false;
    if (PQntuples(result.get()) == 0) return std::nullopt;
    Credentials credentials{BytesAt(result.get(), 0, 0), BytesAt(result.get(), 0, 1),
                            static_cast<int>(IntegerAt(result.get(), 0, 2)),
                            IntegerAt(result.get(), 0, 3) != 0};
    if (credentials.iterations <= 0) {
      failed = true;
      error = "a damaged account";
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

  bool Apply(const OwedResult& result, std::string& error) override {
    const std::lock_guard lock(mutex_);
    // Made again after a lost answer, it finds its id and adds nothing.
    return Run(kApply, {Bytes(result.id), Bytes(result.login), Text(result.prize), Text(result.wins)},
               error) != nullptr;
  }

  std::optional<std::vector<Ranked>> Leaders(RankBy by, size_t count, std::string& error) override {
    const std::lock_guard lock(mutex_);
    Result result = Run(by == RankBy::kPrize ? "SELECT login, prize, wins FROM accounts WHERE prize > 0"
                                               " ORDER BY prize DESC, login LIMIT $1::bigint"
                                             : "SELECT login, prize, wins FROM accounts WHERE wins > 0"
                                               " ORDER BY wins DESC, login LIMIT $1::bigint",
                        {Text(static_cast<int64_t>(count))}, error);
    if (!result) return std::nullopt;
    std::vector<Ranked> leaders;
    for (int row = 0; row < PQntuples(result.get()); ++row) {
      leaders.push_back({BytesAt(result.get(), row, 0),
                         {IntegerAt(result.get(), row, 1), IntegerAt(result.get(), row, 2)}});
    }
    return leaders;
  }

  bool Ping(std::string& error) override {
    const std::lock_guard lock(mutex_);
    return Run("SELECT 1", {}, error) != nullptr;
  }

  std::optional<std::vector<Account>> All(std::string& error) override {
    const std::lock_guard lock(mutex_);
    Result result =
        Run("SELECT login, salt, hash, iterations, prize, wins, moderator FROM accounts", {}, error);
    if (!result) return std::nullopt;
    std::vector<Account> accounts;
    for (int row = 0; row < PQntuples(result.get()); ++row) {
      accounts.push_back(
          {BytesAt(result.get(), row, 0),
           {BytesAt(result.get(), row, 1), BytesAt(result.get(), row, 2),
            static_cast<int>(IntegerAt(result.get(), row, 3)), IntegerAt(result.get(), row, 6) != 0},
           {IntegerAt(result.get(), row, 4), IntegerAt(result.get(), row, 5)}});
    }
    return accounts;
  }

  std::optional<size_t> Import(const std::vector<Account>& accounts, std::string& error) override {
    const std::lock_guard lock(mutex_);
    if (!Run("BEGIN", {}, error)) return std::nullopt;
    size_t copied = 0;
    // Within the transaction a lost connection ends it: nothing is tried
    // again on a new one.
    for (const Account& account : accounts) {
      Result result =
          Run("INSERT INTO accounts (login, salt, hash, iterations, prize, wins, moderator)"
              " VALUES ($1, $2, $3, $4::integer, $5::bigint, $6::bigint, $7::integer)"
              " ON CONFLICT (login) DO NOTHING",
              {Bytes(account.login), Bytes(account.credentials.salt), Bytes(account.credentials.hash),
               Text(account.credentials.iterations), Text(account.statistics.prize),
               Text(account.statistics.wins), Text(account.credentials.moderator ? 1 : 0)},
              error, kOnce);
      if (!result) {
        std::string ignored;
        Run("ROLLBACK", {}, ignored, kOnce);
        return std::nullopt;
      }
      copied += static_cast<size_t>(std::atoi(PQcmdTuples(result.get())));
    }
    if (!Run("COMMIT", {}, error, kOnce)) return std::nullopt;
    return copied;
  }

  bool SetModerator(std::string_view login, bool moderator, std::string& error) override {
    const std::lock_guard lock(mutex_);
    Result result = Run("UPDATE accounts SET moderator = $2::integer WHERE login = $1",
                        {Bytes(login), Text(moderator ? 1 : 0)}, error);
    if (!result) return false;
    if (std::atoi(PQcmdTuples(result.get())) == 1) return true;
    error = "no such account";
    return false;
  }

  std::optional<int64_t> AddBan(const Ban& ban, std::string& error) override {
    return AddRestriction("bans", ban, error);
  }
  std::optional<int64_t> AddMute(const Mute& mute, std::string& error) override {
    return AddRestriction("mutes", mute, error);
  }

  std::optional<size_t> LiftBans(std::string_view target, int64_t now, std::string& error) override {
    const std::lock_guard lock(mutex_);
    Result result = Run(
        "UPDATE bans SET lifted_at = $3::bigint WHERE lifted_at IS NULL AND (until = 0 OR until > $3::bigint)"
        " AND (login = $1 OR address = $2)",
        {Bytes(target), Words(target), Text(now)}, error);
    if (!result) return std::nullopt;
    return static_cast<size_t>(std::atoll(PQcmdTuples(result.get())));
  }

  bool SetMotd(std::string_view text, std::string& error) override {
    const std::lock_guard lock(mutex_);
    if (text.empty()) return Run("DELETE FROM motd", {}, error) != nullptr;
    return Run("INSERT INTO motd (one, message) VALUES (1, $1) ON CONFLICT (one) DO UPDATE SET message = $1",
               {Bytes(text)}, error) != nullptr;
  }

  std::optional<ModerationState> ReadModeration(int64_t now, std::string& error) override {
    const std::lock_guard lock(mutex_);
    // One statement, so one snapshot and one round trip: the kind of each
    // row (0 ban, 1 mute, 2 the message) in its first column.
    Result result = Run(kReadModeration, {Text(now)}, error);
    if (!result) return std::nullopt;
    ModerationState state;
    for (int row = 0; row < PQntuples(result.get()); ++row) {
      const int64_t kind = IntegerAt(result.get(), row, 0);
      if (kind == 2) {
        state.motd = BytesAt(result.get(), row, 2);
        continue;
      }
      const auto fill = [&](auto& made) {
        made.id = IntegerAt(result.get(), row, 1);
        made.login = BytesAt(result.get(), row, 2);
        made.address = BytesAt(result.get(), row, 3);
        made.madeAt = IntegerAt(result.get(), row, 4);
        made.until = IntegerAt(result.get(), row, 5);
        made.moderator = BytesAt(result.get(), row, 6);
        made.reason = BytesAt(result.get(), row, 7);
      };
      if (kind == 0) fill(state.bans.emplace_back());
      if (kind == 1) fill(state.mutes.emplace_back());
    }
    return state;
  }

  bool AddAudit(const AuditEntry& entry, std::string& error) override {
    const std::lock_guard lock(mutex_);
    return Run("INSERT INTO audit (at, moderator, action, target, reason) VALUES ($1::bigint, $2, $3, $4, "
               "$5)",
               {Text(entry.at), Bytes(entry.moderator), Words(entry.action), Bytes(entry.target),
                Bytes(entry.reason)},
               error) != nullptr;
  }

  std::optional<std::vector<AuditEntry>> Audit(size_t count, std::string& error) override {
    const std::lock_guard lock(mutex_);
    Result result =
        Run("SELECT at, moderator, action, target, reason FROM audit ORDER BY id DESC LIMIT $1::bigint",
            {Text(static_cast<int64_t>(count))}, error);
    if (!result) return std::nullopt;
    std::vector<AuditEntry> entries;
    for (int row = 0; row < PQntuples(result.get()); ++row) {
      entries.push_back({IntegerAt(result.get(), row, 0), BytesAt(result.get(), row, 1),
                         BytesAt(result.get(), row, 2), BytesAt(result.get(), row, 3),
                         BytesAt(result.get(), row, 4)});
    }
    return entries;
  }

  Registration Register(std::string_view login, const Credentials& credentials, std::string_view address,
                        int64_t now, std::string& error) override {
    const std::lock_guard lock(mutex_);
    if (!Run("BEGIN", {}, error)) return Registration::kFailed;
    const Registration made = RegisterInTransaction(login, credentials, address, now, error);
    std::string ignored;
    if (made == Registration::kCreated) {
      if (Run("COMMIT", {}, error, kOnce)) return made;
      Run("ROLLBACK", {}, ignored, kOnce);
      return Registration::kFailed;
    }
    Run("ROLLBACK", {}, ignored, kOnce);
    return made;
  }

  void Abandon() override { abandoned_.store(true); }

  // From the loop, which must not wait for the call under way.
  void RetryNow() override { retryNow_.store(true); }

  bool Close() override {
    const std::lock_guard lock(mutex_);
    connection_.reset();
    closed_ = true;
    return true;
  }

  bool Migrate(std::string& error) {
    if (!Run("BEGIN", {}, error)) return false;
    const bool done = Run(kMigrationLock, {}, error, kOnce) && Run(kSchema, {}, error, kOnce) &&
                      Run(kVersionTable, {}, error, kOnce) && Run(kAppliedTable, {}, error, kOnce) &&
                      Upgrade(error);
    std::string ignored;
    if (!done) {
      Run("ROLLBACK", {}, ignored, kOnce);
      return false;
    }
    if (!Run("COMMIT", {}, error, kOnce)) return false;
    Run(kPrune, {}, ignored);
    return true;
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
  Registration RegisterInTransaction(std::string_view login, const Credentials& credentials,
                                     std::string_view address, int64_t now, std::string& error) {
    if (!Run(kRegistrationLock, {Words(address)}, error, kOnce)) return Registration::kFailed;
    Result known = Run("SELECT 1 FROM accounts WHERE login = $1", {Bytes(login)}, error, kOnce);
    if (!known) return Registration::kFailed;
    if (PQntuples(known.get()) > 0) return Registration::kTaken;
    // Read committed: this count sees every registration from the address
    // committed before the lock was given to this one.
    Result count =
        Run("SELECT COUNT(*) FROM accounts WHERE registered_from = $1 AND registered_at > $2::bigint - 86400"
            " AND registered_at <= $2::bigint",
            {Words(address), Text(now)}, error, kOnce);
    if (!count) return Registration::kFailed;
    if (IntegerAt(count.get(), 0, 0) >= kRegistrationsPerDay) return Registration::kLimit;
    // The same login registered from another address at once: the insert
    // waits for that one and then does nothing.
    Result inserted =
        Run("INSERT INTO accounts (login, salt, hash, iterations, registered_from, registered_at)"
            " VALUES ($1, $2, $3, $4::integer, $5, $6::bigint) ON CONFLICT (login) DO NOTHING",
            {Bytes(login), Bytes(credentials.salt), Bytes(credentials.hash), Text(credentials.iterations),
             Words(address), Text(now)},
            error, kOnce);
    if (!inserted) return Registration::kFailed;
    return std::atoi(PQcmdTuples(inserted.get())) == 1 ? Registration::kCreated : Registration::kTaken;
  }

  template <typename Restriction>
  std::optional<int64_t> AddRestriction(const std::string& table, const Restriction& made,
                                        std::string& error) {
    const std::lock_guard lock(mutex_);
    const std::string sql = "INSERT INTO " + table +
                            " (login, address, made_at, until, moderator, reason)"
                            " VALUES ($1, $2, $3::bigint, $4::bigint, $5, $6) RETURNING id";
    Result result = Run(sql.c_str(),
                        {Bytes(made.login), Words(made.address), Text(made.madeAt), Text(made.until),
                         Bytes(made.moderator), Bytes(made.reason)},
                        error);
    if (!result || PQntuples(result.get()) != 1) return std::nullopt;
    return IntegerAt(result.get(), 0, 0);
  }

  bool Upgrade(std::string& error) {
    Result result = Run("SELECT COALESCE(MAX(version), 0) FROM schema_version", {}, error, kOnce);
    if (!result) return false;
    const int64_t version = IntegerAt(result.get(), 0, 0);
    if (version > kSchemaVersion) {
      error = "the accounts are at schema version " + std::to_string(version) +
              ", newer than this program's " + std::to_string(kSchemaVersion) +
              "; run a newer gorvane-server";
      return false;
    }
    if (version == kSchemaVersion) return true;
    if (version < 4) {
      for (const char* step : kModeration) {
        if (!Run(step, {}, error, kOnce)) return false;
      }
    }
    return Run("INSERT INTO schema_version (version) VALUES ($1::integer)", {Text(kSchemaVersion)}, error,
               kOnce) != nullptr;
  }

  // A statement inside a transaction is not made again on a new connection:
  // it would run on its own there.
  static constexpr bool kOnce = false;

  // A connection to use, made again when the last one was lost, but no
  // sooner than the backoff allows (half a second, doubling to ten): a
  // database that is down is not asked at every login.
  bool Connected(std::string& error) {
    if (closed_ || abandoned_.load()) {
      error =
          closed_ ? "the database is closed" : "the server is stopping: the database is not asked any more";
      return false;
    }
    if (connection_ && PQstatus(connection_.get()) == CONNECTION_OK) return true;
    const Clock::time_point now = Clock::now();
    if (retryNow_.exchange(false)) nextAttempt_ = {};
    if (now < nextAttempt_) {
      error = "the database is unreachable (" + lastError_ + "); trying again shortly";
      return false;
    }
    connection_ = Connect(uri_, wait_, &abandoned_, lastError_);
    if (connection_) {
      retry_ = kFirstRetry;
      return true;
    }
    nextAttempt_ = now + retry_;
    retry_ = std::min<Clock::duration>(retry_ * 2, kLastRetry);
    error = lastError_;
    return false;
  }

  // One statement with its parameters; binary results. A statement that
  // stands on its own is made once more on a new connection when the
  // database dropped the old one (a restart); one that was not answered in
  // time is not: the connection is dropped and the call fails.
  Result Run(const char* sql, const std::vector<Param>& params, std::string& error, bool again = true) {
    for (int attempt = 0; attempt < (again ? 2 : 1); ++attempt) {
      if (!Connected(error)) return nullptr;
      bool answered = true;
      Result result = Exchange(sql, params, error, answered);
      if (result) return result;
      if (!answered) {
        lastError_ = error;
        connection_.reset();
        return nullptr;
      }
      // A refused statement stands; only a lost connection is tried again.
      if (PQstatus(connection_.get()) != CONNECTION_BAD) return nullptr;
      lastError_ = error;
      connection_.reset();
    }
    return nullptr;
  }

  // Sends the statement and reads its answer within the call's bound; the
  // result when it succeeded, else nothing with the reason, answered false
  // when the database did not answer in time.
  Result Exchange(const char* sql, const std::vector<Param>& params, std::string& error, bool& answered) {
    PGconn* connection = connection_.get();
    const Clock::time_point deadline = Clock::now() + wait_ + kAnswerMargin;
    std::vector<const char*> values;
    std::vector<int> lengths;
    std::vector<int> formats;
    for (const Param& param : params) {
      values.push_back(param.value.data());
      lengths.push_back(static_cast<int>(param.value.size()));
      formats.push_back(param.binary ? 1 : 0);
    }
    const auto failed = [&] {
      error = WithoutSecrets(Trimmed(PQerrorMessage(connection)), uri_);
      return nullptr;
    };
    if (PQsendQueryParams(connection, sql, static_cast<int>(params.size()), nullptr, values.data(),
                          lengths.data(), formats.data(), 1) == 0) {
      return failed();
    }
    for (int flushed = PQflush(connection); flushed != 0; flushed = PQflush(connection)) {
      if (flushed < 0) return failed();
      if (!Await(connection, true, deadline, &abandoned_, error)) {
        answered = false;
        return nullptr;
      }
      if (PQconsumeInput(connection) == 0) return failed();
    }
    Result last;
    bool refused = false;
    for (;;) {
      while (PQisBusy(connection) != 0) {
        if (!Await(connection, false, deadline, &abandoned_, error)) {
          answered = false;
          return nullptr;
        }
        if (PQconsumeInput(connection) == 0) return failed();
      }
      Result next(PQgetResult(connection));
      if (!next) break;
      // The first failure is the one to tell; the rest follow from it.
      if (refused) continue;
      const ExecStatusType status = PQresultStatus(next.get());
      refused = status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK;
      last = std::move(next);
    }
    const ExecStatusType status = last ? PQresultStatus(last.get()) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return last;
    error =
        WithoutSecrets(Trimmed(last ? PQresultErrorMessage(last.get()) : PQerrorMessage(connection)), uri_);
    if (error.empty()) error = WithoutSecrets(Trimmed(PQerrorMessage(connection)), uri_);
    return nullptr;
  }

  const std::string uri_;
  const std::chrono::milliseconds wait_;
  // One connection, and the loop's workers may all use the store: one
  // statement (or transaction) at a time.
  std::mutex mutex_;
  // Set by Abandon, read by every wait without the mutex: a stop must not
  // queue behind the call under way.
  std::atomic<bool> abandoned_ = false;
  std::atomic<bool> retryNow_ = false;
  std::unique_ptr<PGconn, ConnectionCloser> connection_;
  bool closed_ = false;
  std::string lastError_;
  Clock::time_point nextAttempt_{};
  Clock::duration retry_ = kFirstRetry;
};

}  // namespace

std::unique_ptr<AccountStore> OpenPostgresStore(const std::string& uri, std::string& error,
                                                std::chrono::milliseconds wait) {
  // Every call is bounded, whatever the caller asked.
  if (wait.count() <= 0) wait = kStoreCallWait;
  auto connection = Connect(uri, wait, nullptr, error);
  if (!connection) {
    error = "PostgreSQL: " + error;
    return nullptr;
  }
  auto store = std::make_unique<PostgresStore>(uri, wait, std::move(connection));
  if (!store->Migrate(error)) {
    error = "PostgreSQL: " + error;
    return nullptr;
  }
  return store;
}

}  // namespace gorvane::server
