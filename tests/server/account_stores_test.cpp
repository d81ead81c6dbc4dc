// SPDX-License-Identifier: GPL-3.0-or-later
// The two account stores, held to one table of cases: the embedded SQLite
// file and a real PostgreSQL cluster of the test's own.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sodium.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>

#include "server/store/accounts.h"
#include "server/store/logins.h"
#include "support/server/pg_cluster.h"

namespace gorvane::testing {
namespace {

using server::AccountStore;

// One cluster for the file's tests: starting one takes seconds.
PgCluster& Cluster() {
  static PgCluster cluster;
  return cluster;
}

class Stores : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    const std::string name = std::string("t") + std::to_string(::getpid()) + "_" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::string database;
    for (char c : name)
      database += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '_';
    if (GetParam()) {
      ASSERT_TRUE(Cluster().failure().empty()) << Cluster().failure();
      where_ = Cluster().Uri(database);
    } else {
      where_ = (std::filesystem::temp_directory_path() / (database + ".db")).string();
      std::filesystem::remove(where_);
    }
  }
  void TearDown() override {
    if (!GetParam()) std::filesystem::remove(where_);
  }
  std::unique_ptr<AccountStore> Open() {
    std::string error;
    auto store = AccountStore::Open(where_, error);
    EXPECT_TRUE(store) << error;
    return store;
  }

  std::string where_;
};

// Logins are code page 932 bytes: a 0x5C trail byte, a quote, a NUL-free
// blank; each compares byte for byte.
TEST_P(Stores, AccountsAndStatisticsByteForByte) {
  auto store = Open();
  ASSERT_TRUE(store);
  std::string error;
  const std::string logins[] = {"alice", "\x83\x5C\x83\x93", "o'brien x", "ALICE"};
  for (const std::string& login : logins)
    ASSERT_TRUE(store->SetPassword(login, "pw-" + login, error)) << error;
  for (const std::string& login : logins) {
    bool failed = true;
    const auto credentials = store->Find(login, failed);
    ASSERT_TRUE(credentials) << login;
    EXPECT_FALSE(failed);
    EXPECT_TRUE(server::Matches(
        *credentials, server::HashPassword("pw-" + login, credentials->salt, credentials->iterations)));
    EXPECT_FALSE(server::Matches(*credentials,
                                 server::HashPassword("pw-x", credentials->salt, credentials->iterations)));
  }
  bool failed = true;
  EXPECT_FALSE(store->Find("bob", failed));
  EXPECT_FALSE(failed);
  EXPECT_FALSE(store->Read("bob"));

  ASSERT_TRUE(store->AddResult("alice", 700, 1, error)) << error;
  ASSERT_TRUE(store->AddResult("alice", 300, 0, error)) << error;
  // A new password keeps the statistics.
  ASSERT_TRUE(store->SetPassword("alice", "new", error)) << error;
  const auto alice = store->Read("alice");
  ASSERT_TRUE(alice);
  EXPECT_EQ(alice->prize, 1000);
  EXPECT_EQ(alice->wins, 1);
  EXPECT_EQ(store->Read("ALICE")->prize, 0);

  // Reopened: everything is still there.
  store.reset();
  store = Open();
  ASSERT_TRUE(store);
  EXPECT_EQ(store->Read("alice")->prize, 1000);
  EXPECT_TRUE(store->Find("\x83\x5C\x83\x93", failed));
}

// An import copies every account and statistic once; a second changes
// nothing, and an account already here keeps what it has.
TEST_P(Stores, ImportOnce) {
  const std::string source =
      (std::filesystem::temp_directory_path() / ("gorvane-import-" + std::to_string(::getpid()) + ".db"))
          .string();
  std::filesystem::remove(source);
  std::string error;
  {
    auto old = AccountStore::Open(source, error);
    ASSERT_TRUE(old) << error;
    for (const char* login : {"alice", "bob", "carol"}) ASSERT_TRUE(old->SetPassword(login, "pw", error));
    ASSERT_TRUE(old->AddResult("bob", 1200, 2, error));
  }
  auto store = Open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->SetPassword("carol", "here", error));
  auto old = AccountStore::Open(source, error);
  const auto accounts = old->All(error);
  ASSERT_TRUE(accounts) << error;
  EXPECT_EQ(store->Import(*accounts, error), std::optional<size_t>(2)) << error;
  EXPECT_EQ(store->Import(*accounts, error), std::optional<size_t>(0)) << error;
  EXPECT_EQ(store->Read("bob")->prize, 1200);
  EXPECT_EQ(store->Read("bob")->wins, 2);
  bool failed = false;
  const auto carol = store->Find("carol", failed);
  ASSERT_TRUE(carol);
  EXPECT_TRUE(server::Matches(*carol, server::HashPassword("here", carol->salt, carol->iterations)));
  std::filesystem::remove(source);
}

// An account stored the older way (PBKDF2) is hashed anew with Argon2id by
// its owner's next good login, and only by that; it logs in as before.
TEST_P(Stores, AnOlderHashIsReplacedAtItsOwnersNextGoodLogin) {
  auto store = Open();
  ASSERT_TRUE(store);
  std::string error;
  const std::string salt(server::kSaltBytes, '\x5c');
  std::string old(server::kHashBytes, '\0');
  ASSERT_EQ(PKCS5_PBKDF2_HMAC("pw-old", 6, reinterpret_cast<const unsigned char*>(salt.data()),
                              static_cast<int>(salt.size()), server::kPasswordIterations, EVP_sha256(),
                              static_cast<int>(old.size()), reinterpret_cast<unsigned char*>(old.data())),
            1);
  ASSERT_EQ(store->Import({{"old", {salt, old, server::kPasswordIterations}, {300, 1}}}, error),
            std::optional<size_t>(1))
      << error;
  server::LoginDesk desk(*store, {});
  const auto login = [&](uint64_t ticket, const std::string& password) {
    const server::TimePoint now{};
    if (auto at = desk.Begin(ticket, "10.0.0." + std::to_string(ticket), "old", password, now)) return *at;
    for (int i = 0; i < 500; ++i) {
      pollfd ready{desk.fd(), POLLIN, 0};
      ::poll(&ready, 1, 10);
      for (const auto& answer : desk.Collect(now)) return answer.outcome;
    }
    return server::LoginOutcome::kFailed;
  };
  const struct {
    const char* password;
    server::LoginOutcome outcome;
    bool older;  // stored the older way afterwards
  } steps[] = {
      {"pw-wrong", server::LoginOutcome::kWrongPassword, true},
      {"pw-old", server::LoginOutcome::kOk, false},
      {"pw-old", server::LoginOutcome::kOk, false},
      {"pw-wrong", server::LoginOutcome::kWrongPassword, false},
  };
  uint64_t ticket = 0;
  for (const auto& step : steps) {
    EXPECT_EQ(login(++ticket, step.password), step.outcome) << ticket;
    bool failed = true;
    const auto stored = store->Find("old", failed);
    ASSERT_TRUE(stored);
    EXPECT_EQ(server::NeedsRehash(*stored), step.older) << ticket;
    EXPECT_TRUE(server::Matches(*stored, server::HashPassword("pw-old", stored->salt, stored->iterations)));
  }
  EXPECT_EQ(store->Read("old")->prize, 300);
}

// A result written again after its answer was lost is applied once; another
// result of the same amounts counts on its own.
TEST_P(Stores, AResultWrittenTwiceCountsOnce) {
  auto store = Open();
  ASSERT_TRUE(store);
  std::string error;
  ASSERT_TRUE(store->SetPassword("alice", "pw", error)) << error;
  const server::OwedResult result{server::NewResultId(), "alice", 700, 1};
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(store->Apply(result, error)) << error;
  ASSERT_TRUE(store->Apply({server::NewResultId(), "alice", 700, 1}, error)) << error;
  EXPECT_EQ(store->Read("alice")->prize, 1400);
  EXPECT_EQ(store->Read("alice")->wins, 2);
}

// The status page's rankings: most first, equal ones by login bytes (a code
// page 932 login after ASCII), accounts with nothing left out, at most the
// count asked; a closed store answers neither a ranking nor a ping.
TEST_P(Stores, LeadersByPrizeAndByWins) {
  auto store = Open();
  ASSERT_TRUE(store);
  std::string error;
  const std::string hero = "\x97\x45\x8E\xD2";
  const struct {
    std::string login;
    int64_t prize, wins;
  } accounts[] = {{"alice", 1200, 1}, {"bob", 300, 4}, {hero, 1200, 4}, {"carol", 0, 0}, {"dave", 0, 2}};
  for (const auto& account : accounts) {
    ASSERT_TRUE(store->SetPassword(account.login, "pw", error)) << error;
    if (account.prize + account.wins > 0) {
      ASSERT_TRUE(store->AddResult(account.login, account.prize, account.wins, error)) << error;
    }
  }
  const struct {
    server::RankBy by;
    size_t count;
    std::vector<std::string> logins;
  } cases[] = {
      {server::RankBy::kPrize, 50, {"alice", hero, "bob"}},
      {server::RankBy::kPrize, 2, {"alice", hero}},
      {server::RankBy::kWins, 50, {"bob", hero, "dave", "alice"}},
  };
  for (const auto& row : cases) {
    const auto leaders = store->Leaders(row.by, row.count, error);
    ASSERT_TRUE(leaders) << error;
    std::vector<std::string> logins;
    for (const server::Ranked& ranked : *leaders) logins.push_back(ranked.login);
    EXPECT_EQ(logins, row.logins);
  }
  EXPECT_EQ(store->Leaders(server::RankBy::kWins, 1, error)->front().statistics.prize, 300);
  EXPECT_TRUE(store->Ping(error)) << error;
  store->Close();
  EXPECT_FALSE(store->Ping(error));
  EXPECT_FALSE(store->Leaders(server::RankBy::kPrize, 50, error));
}

// A store written by a newer program is not touched: one clear line.
TEST_P(Stores, ANewerSchemaRefusesToOpen) {
  ASSERT_TRUE(Open());
  if (GetParam()) {
    PGconn* connection = PQconnectdb(where_.c_str());
    PQclear(PQexec(connection, "INSERT INTO schema_version (version) VALUES (99)"));
    PQfinish(connection);
  } else {
    // Through the file itself: the store has no way to write a version.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(where_.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "INSERT INTO schema_version VALUES (99)", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  std::string error;
  EXPECT_FALSE(AccountStore::Open(where_, error));
  EXPECT_NE(
      error.find("schema version 99, newer than this program's " + std::to_string(server::kSchemaVersion)),
      std::string::npos)
      << error;
  EXPECT_EQ(error.find('\n'), std::string::npos) << error;
}

// What is in force at a moment: bans and mutes until their time (0: for
// good), not once lifted, newest first; a lift touches only what is in
// force, by login or by address; the message set and cleared; the audit
// newest first.
TEST_P(Stores, BansMutesAndTheMessageInForce) {
  auto store = Open();
  ASSERT_TRUE(store);
  std::string error;
  const std::string kana = "\x83\x5C\x83\x93";
  const server::Ban bans[] = {
      {0, "alice", "", 100, 0, "mod", "spam"},
      {0, "", "10.0.0.1", 200, 500, "mod", "flood"},
      {0, kana, "10.0.0.2", 300, 2000, kana, "\x82\xA0'\\"},
  };
  for (const server::Ban& ban : bans) ASSERT_TRUE(store->AddBan(ban, error)) << error;
  const server::Mute mutes[] = {{0, "bob", "", 150, 400, "mod", "caps"},
                                {0, "", "10.0.0.3", 250, 1500, "mod", ""}};
  for (const server::Mute& mute : mutes) ASSERT_TRUE(store->AddMute(mute, error)) << error;

  // Each ban or mute by its login, or its address when it has none.
  const auto named = [](const auto& list) {
    std::vector<std::string> names;
    for (const auto& made : list) names.push_back(made.login.empty() ? made.address : made.login);
    return names;
  };
  const struct {
    const char* what;
    std::function<void()> before;
    int64_t now;
    std::vector<std::string> bans, mutes;
    std::string motd;
  } steps[] = {
      {"all in force", {}, 399, {kana, "10.0.0.1", "alice"}, {"10.0.0.3", "bob"}, ""},
      {"a mute ends at its time", {}, 400, {kana, "10.0.0.1", "alice"}, {"10.0.0.3"}, ""},
      {"a ban ends at its time", {}, 500, {kana, "alice"}, {"10.0.0.3"}, ""},
      {"lifted by address",
       [&] { EXPECT_EQ(store->LiftBans("10.0.0.2", 600, error), std::optional<size_t>(1)) << error; },
       600,
       {"alice"},
       {"10.0.0.3"},
       ""},
      {"an ended ban is not lifted",
       [&] { EXPECT_EQ(store->LiftBans("10.0.0.1", 600, error), std::optional<size_t>(0)) << error; },
       600,
       {"alice"},
       {"10.0.0.3"},
       ""},
      {"a message of the day",
       [&] { EXPECT_TRUE(store->SetMotd("\x82\xB1\x82\xF1 hello", error)) << error; },
       600,
       {"alice"},
       {"10.0.0.3"},
       "\x82\xB1\x82\xF1 hello"},
      {"lifted by login, for good or not",
       [&] { EXPECT_EQ(store->LiftBans("alice", 700, error), std::optional<size_t>(1)) << error; },
       700,
       {},
       {"10.0.0.3"},
       "\x82\xB1\x82\xF1 hello"},
      {"a lifted ban is not lifted again",
       [&] { EXPECT_EQ(store->LiftBans("alice", 700, error), std::optional<size_t>(0)) << error; },
       700,
       {},
       {"10.0.0.3"},
       "\x82\xB1\x82\xF1 hello"},
      {"the message cleared", [&] { EXPECT_TRUE(store->SetMotd("", error)) << error; }, 1500, {}, {}, ""},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.before) step.before();
    const auto state = store->ReadModeration(step.now, error);
    ASSERT_TRUE(state) << error;
    EXPECT_EQ(named(state->bans), step.bans);
    EXPECT_EQ(named(state->mutes), step.mutes);
    EXPECT_EQ(state->motd, step.motd);
  }
  // Every field comes back as it went in, bytes and all.
  const auto early = store->ReadModeration(0, error);
  ASSERT_TRUE(early && early->bans.size() == 1) << error;
  const server::Ban& kept = early->bans.front();
  EXPECT_EQ(std::tie(kept.login, kept.address, kept.madeAt, kept.until, kept.moderator, kept.reason),
            std::tie(bans[1].login, bans[1].address, bans[1].madeAt, bans[1].until, bans[1].moderator,
                     bans[1].reason));
  EXPECT_GT(kept.id, 0);

  for (int at = 1; at <= 3; ++at) {
    ASSERT_TRUE(store->AddAudit({at * 100, "mod", "ban", "t" + std::to_string(at), kana}, error)) << error;
  }
  const auto audit = store->Audit(2, error);
  ASSERT_TRUE(audit) << error;
  ASSERT_EQ(audit->size(), 2u);
  EXPECT_EQ(audit->at(0).target, "t3");
  EXPECT_EQ(audit->at(1).at, 200);
  EXPECT_EQ(audit->at(1).reason, kana);
}

// Self-registration: a login taken (by the host or a registration) is
// refused; one address makes kRegistrationsPerDay a day, counted over the
// day before now; another address counts on its own.
TEST_P(Stores, RegistrationsByLoginAddressAndDay) {
  auto store = Open();
  ASSERT_TRUE(store);
  std::string error;
  ASSERT_TRUE(store->SetPassword("alice", "pw", error)) << error;
  constexpr int64_t kDay = 86400;
  constexpr int64_t t = 1'800'000'000;
  using server::Registration;
  const struct {
    std::string login;
    const char* address;
    int64_t now;
    Registration made;
  } cases[] = {
      {"new1", "10.0.0.1", t, Registration::kCreated},
      {"new1", "10.0.0.9", t + 1, Registration::kTaken},
      {"alice", "10.0.0.9", t + 1, Registration::kTaken},
      {"new2", "10.0.0.1", t + 10, Registration::kCreated},
      {"\x83\x5C", "10.0.0.1", t + 20, Registration::kCreated},
      {"new4", "10.0.0.1", t + 30, Registration::kLimit},
      {"new4", "2001:db8:1:2::", t + 30, Registration::kCreated},
      {"new5", "10.0.0.1", t + kDay - 1, Registration::kLimit},
      {"new5", "10.0.0.1", t + kDay, Registration::kCreated},
      {"new6", "10.0.0.1", t + kDay, Registration::kLimit},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.login + " from " + row.address + " at +" + std::to_string(row.now - t));
    const std::string salt = server::NewSalt();
    const server::Credentials credentials{salt, server::HashPassword("pw-" + row.login, salt, 2), 2};
    EXPECT_EQ(store->Register(row.login, credentials, row.address, row.now, error), row.made) << error;
  }
  // What was made logs in with its password; what was refused is not there.
  bool failed = true;
  const auto made = store->Find("\x83\x5C", failed);
  ASSERT_TRUE(made);
  EXPECT_TRUE(server::Matches(*made, server::HashPassword("pw-\x83\x5C", made->salt, made->iterations)));
  EXPECT_FALSE(made->moderator);
  EXPECT_FALSE(store->Find("new6", failed));
  EXPECT_FALSE(failed);
  const auto host = store->Find("alice", failed);
  ASSERT_TRUE(host);
  EXPECT_TRUE(server::Matches(*host, server::HashPassword("pw", host->salt, host->iterations)))
      << "a refused registration leaves the account as it was";
}

// A store written by the program before moderation: its accounts and
// statistics stay, nobody is a moderator until made one, and the new
// tables are there.
TEST_P(Stores, AVersion3StoreIsBroughtUpKeepingItsAccounts) {
  const std::string salt = server::NewSalt();
  const std::string hash = server::HashPassword("pw", salt, 2);
  const std::string tables[] = {
      "CREATE TABLE accounts (login BYTEA PRIMARY KEY, salt BYTEA NOT NULL, hash BYTEA NOT NULL,"
      " iterations INTEGER NOT NULL, prize BIGINT NOT NULL DEFAULT 0, wins BIGINT NOT NULL DEFAULT 0)",
      "CREATE TABLE schema_version (version INTEGER NOT NULL)",
      GetParam()
          ? "CREATE TABLE applied_results (id BYTEA PRIMARY KEY, applied_at TIMESTAMPTZ NOT NULL"
            " DEFAULT now())"
          : "CREATE TABLE applied_results (id BLOB PRIMARY KEY, applied_at INTEGER NOT NULL DEFAULT 0)",
      "INSERT INTO schema_version VALUES (1), (3)",
  };
  if (GetParam()) {
    std::unique_ptr<PGconn, void (*)(PGconn*)> connection(PQconnectdb(where_.c_str()), PQfinish);
    for (const std::string& sql : tables) {
      std::unique_ptr<PGresult, void (*)(PGresult*)> done(PQexec(connection.get(), sql.c_str()), PQclear);
      ASSERT_EQ(PQresultStatus(done.get()), PGRES_COMMAND_OK) << PQerrorMessage(connection.get());
    }
    const char* values[] = {"old", salt.data(), hash.data()};
    const int lengths[] = {3, static_cast<int>(salt.size()), static_cast<int>(hash.size())};
    const int formats[] = {1, 1, 1};
    std::unique_ptr<PGresult, void (*)(PGresult*)> done(
        PQexecParams(connection.get(), "INSERT INTO accounts VALUES ($1, $2, $3, 2, 700, 3)", 3, nullptr,
                     values, lengths, formats, 0),
        PQclear);
    ASSERT_EQ(PQresultStatus(done.get()), PGRES_COMMAND_OK) << PQerrorMessage(connection.get());
  } else {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(where_.c_str(), &raw), SQLITE_OK);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    for (const std::string& sql : tables) {
      ASSERT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(raw);
    }
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(raw, "INSERT INTO accounts VALUES (?3, ?1, ?2, 2, 700, 3)", -1, &statement,
                                 nullptr),
              SQLITE_OK);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> insert(statement, sqlite3_finalize);
    sqlite3_bind_blob(statement, 1, salt.data(), static_cast<int>(salt.size()), SQLITE_TRANSIENT);
    sqlite3_bind_blob(statement, 2, hash.data(), static_cast<int>(hash.size()), SQLITE_TRANSIENT);
    sqlite3_bind_blob(statement, 3, "old", 3, SQLITE_STATIC);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_DONE);
  }
  auto store = Open();
  ASSERT_TRUE(store);
  std::string error;
  bool failed = true;
  const auto old = store->Find("old", failed);
  ASSERT_TRUE(old);
  EXPECT_FALSE(old->moderator);
  EXPECT_TRUE(server::Matches(*old, server::HashPassword("pw", old->salt, old->iterations)));
  EXPECT_EQ(store->Read("old")->prize, 700);
  EXPECT_EQ(store->Read("old")->wins, 3);

  ASSERT_TRUE(store->SetPassword("carol", "pw", error)) << error;
  const struct {
    const char* login;
    bool moderator;
    bool set;  // whether SetModerator succeeds
  } changes[] = {
      {"ghost", true, false}, {"carol", true, true}, {"carol", false, true}, {"carol", true, true}};
  for (const auto& change : changes) {
    SCOPED_TRACE(change.login);
    EXPECT_EQ(store->SetModerator(change.login, change.moderator, error), change.set) << error;
    const auto found = store->Find(change.login, failed);
    EXPECT_FALSE(failed);
    EXPECT_EQ(found.has_value(), change.set);
    if (found) {
      EXPECT_EQ(found->moderator, change.moderator);
    }
  }
  EXPECT_TRUE(store->ReadModeration(0, error)) << error;
  EXPECT_EQ(store->Register("dave", {salt, hash, 2}, "10.0.0.1", 1, error), server::Registration::kCreated)
      << error;
  // Opened again at version 4: nothing is migrated twice.
  store.reset();
  store = Open();
  ASSERT_TRUE(store);
  EXPECT_TRUE(store->Find("carol", failed)->moderator);
}

INSTANTIATE_TEST_SUITE_P(Both, Stores, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "PostgreSQL" : "SQLite";
                         });

// gorvane-server --db URI --import FILE: a host moving over runs it once;
// run again, it changes nothing.
TEST(SharedPostgres, ImportFromTheCommandLineOnce) {
  ASSERT_TRUE(Cluster().failure().empty()) << Cluster().failure();
  const std::string uri = Cluster().Uri("import" + std::to_string(::getpid()));
  const std::string file =
      (std::filesystem::temp_directory_path() / ("gorvane-cli-import-" + std::to_string(::getpid()) + ".db"))
          .string();
  std::filesystem::remove(file);
  std::string error;
  {
    auto old = AccountStore::Open(file, error);
    ASSERT_TRUE(old && old->SetPassword("alice", "pw", error) && old->SetPassword("bob", "pw", error))
        << error;
    ASSERT_TRUE(old->AddResult("bob", 500, 1, error));
  }
  const std::string command =
      std::string(GORVANE_SERVER_BINARY) + " --db '" + uri + "' --import '" + file + "' 2>&1";
  for (const char* said : {"imported 2 of the 2 accounts", "imported 0 of the 2 accounts"}) {
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_TRUE(pipe);
    char buffer[512] = {};
    const size_t got = std::fread(buffer, 1, sizeof buffer - 1, pipe);
    EXPECT_EQ(pclose(pipe), 0) << std::string(buffer, got);
    EXPECT_NE(std::string(buffer, got).find(said), std::string::npos) << std::string(buffer, got);
  }
  auto store = AccountStore::Open(uri, error);
  ASSERT_TRUE(store) << error;
  EXPECT_EQ(store->Read("bob")->prize, 500);
  std::filesystem::remove(file);
}

// Two servers on one database: an account added on one logs in on the
// other at once, and results both add up when they come at the same time.
TEST(SharedPostgres, TwoServersOneSetOfAccounts) {
  ASSERT_TRUE(Cluster().failure().empty()) << Cluster().failure();
  const std::string uri = Cluster().Uri("shared" + std::to_string(::getpid()));
  std::string error;
  auto a = AccountStore::Open(uri, error);
  auto b = AccountStore::Open(uri, error);
  ASSERT_TRUE(a && b) << error;
  ASSERT_TRUE(a->SetPassword("alice", "pw", error));
  bool failed = true;
  EXPECT_TRUE(b->Find("alice", failed));
  constexpr int kGames = 200;
  auto play = [&](AccountStore& store) {
    std::string why;
    for (int i = 0; i < kGames; ++i) store.AddResult("alice", 100, 1, why);
  };
  std::thread onA(play, std::ref(*a));
  std::thread onB(play, std::ref(*b));
  onA.join();
  onB.join();
  EXPECT_EQ(a->Read("alice")->prize, 2 * kGames * 100);
  EXPECT_EQ(b->Read("alice")->wins, 2 * kGames);
}

// Two servers registering at once from one address make no more than the
// day's limit together.
TEST(SharedPostgres, TwoServersRegisterWithinOneLimit) {
  ASSERT_TRUE(Cluster().failure().empty()) << Cluster().failure();
  const std::string uri = Cluster().Uri("register" + std::to_string(::getpid()));
  std::string error;
  auto a = AccountStore::Open(uri, error);
  auto b = AccountStore::Open(uri, error);
  ASSERT_TRUE(a && b) << error;
  const std::string salt = server::NewSalt();
  const server::Credentials credentials{salt, server::HashPassword("pw", salt, 2), 2};
  constexpr int kRounds = 20;
  constexpr int kTries = server::kRegistrationsPerDay;
  std::vector<server::Registration> made[2];
  const auto race = [&](AccountStore& store, int side) {
    std::string why;
    for (int round = 0; round < kRounds; ++round) {
      // Each round its own address, as many tries from each server as the
      // day allows in all.
      const std::string address = "10.0." + std::to_string(round) + ".1";
      for (int i = 0; i < kTries; ++i) {
        const std::string login =
            "r" + std::to_string(round) + "_" + std::to_string(side) + std::to_string(i);
        made[side].push_back(store.Register(login, credentials, address, 1000, why));
      }
    }
  };
  std::thread onA(race, std::ref(*a), 0);
  std::thread onB(race, std::ref(*b), 1);
  onA.join();
  onB.join();
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    int created = 0;
    int limited = 0;
    for (const auto& side : made) {
      for (int i = 0; i < kTries; ++i) {
        created += side[round * kTries + i] == server::Registration::kCreated ? 1 : 0;
        limited += side[round * kTries + i] == server::Registration::kLimit ? 1 : 0;
      }
    }
    EXPECT_EQ(created, server::kRegistrationsPerDay);
    EXPECT_EQ(limited, 2 * kTries - server::kRegistrationsPerDay);
  }
}

// A login another server is registering at this moment (its insert not yet
// committed) is answered as taken once that one commits, never as a
// failure of the store.
TEST(SharedPostgres, ALoginRegisteredElsewhereMeanwhileIsTaken) {
  ASSERT_TRUE(Cluster().failure().empty()) << Cluster().failure();
  const std::string uri = Cluster().Uri("taken" + std::to_string(::getpid()));
  std::string error;
  auto store = AccountStore::Open(uri, error);
  ASSERT_TRUE(store) << error;
  std::unique_ptr<PGconn, void (*)(PGconn*)> other(PQconnectdb(uri.c_str()), PQfinish);
  const auto exec = [&](const char* sql) {
    std::unique_ptr<PGresult, void (*)(PGresult*)> done(PQexec(other.get(), sql), PQclear);
    return PQresultStatus(done.get()) == PGRES_COMMAND_OK;
  };
  ASSERT_TRUE(exec("BEGIN"));
  ASSERT_TRUE(
      exec("INSERT INTO accounts (login, salt, hash, iterations, registered_from, registered_at)"
           " VALUES ('held'::bytea, 's', 'h', 2, '10.9.0.1', 1000)"))
      << PQerrorMessage(other.get());
  const std::string salt = server::NewSalt();
  server::Registration made = server::Registration::kFailed;
  std::string why;
  std::thread registering([&] {
    made = store->Register("held", {salt, server::HashPassword("pw", salt, 2), 2}, "10.9.0.2", 1000, why);
  });
  // Long enough for the insert to be waiting on the other's row, well
  // within the statement timeout.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_TRUE(exec("COMMIT"));
  registering.join();
  EXPECT_EQ(made, server::Registration::kTaken) << why;
}

// The Argon2id hash is the one the standard encoding names: libsodium's own
// verifier takes it back, written out as "$argon2id$v=19$m=...$salt$hash".
TEST(Passwords, Argon2idAsTheStandardEncodingHasIt) {
  const std::string passwords[] = {"hunter2", "", "\x83\x70\x83\x58", std::string(1000, 'x')};
  const auto base64 = [](std::string_view bytes) {
    std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL_NO_PADDING),
                     '\0');
    sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                      bytes.size(), sodium_base64_VARIANT_ORIGINAL_NO_PADDING);
    text.resize(text.find('\0'));
    return text;
  };
  for (const std::string& password : passwords) {
    const std::string salt = server::NewSalt();
    ASSERT_FALSE(salt.empty());
    const std::string head = salt.substr(0, salt.size() - server::kSaltBytes);
    EXPECT_EQ(head, "$argon2id$v=19$m=19456,t=2,p=1$");
    const std::string hash = server::HashPassword(password, salt, 0);
    ASSERT_EQ(hash.size(), server::kHashBytes);
    const std::string encoded = head + base64(salt.substr(head.size())) + "$" + base64(hash);
    EXPECT_EQ(crypto_pwhash_str_verify(encoded.c_str(), password.data(), password.size()), 0) << password;
    EXPECT_NE(crypto_pwhash_str_verify(encoded.c_str(), "other", 5), 0) << password;
    EXPECT_FALSE(server::NeedsRehash({salt, hash, 2}));
  }
}

// A stored salt whose parameters cannot be read, or would take more memory
// than a server may give one hash, hashes to nothing: no login matches it.
TEST(Passwords, ADamagedOrGreedyArgon2idSaltHashesToNothing) {
  const std::string random(server::kSaltBytes, 'r');
  const std::string salts[] = {
      "$argon2id$v=19$m=19456,t=2,p=2$" + random,
      "$argon2id$v=19$m=19456,t=0,p=1$" + random,
      "$argon2id$v=19$m=4,t=2,p=1$" + random,
      "$argon2id$v=19$m=" + std::to_string(server::kArgonMostKiB + 1) + ",t=2,p=1$" + random,
      "$argon2id$v=19$m=19456,t=2,p=1$" + random.substr(1),
      "$argon2id$v=19$m=x,t=2,p=1$" + random,
      "$argon2id$v=19$m=",
  };
  for (const std::string& salt : salts) EXPECT_EQ(server::HashPassword("pw", salt, 2), "") << salt;
}

}  // namespace
}  // namespace gorvane::testing
