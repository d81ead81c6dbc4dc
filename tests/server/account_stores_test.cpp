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
#include <memory>
#include <thread>

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
