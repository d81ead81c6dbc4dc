// SPDX-License-Identifier: GPL-3.0-or-later
// The shared store going away under a running server, on a real PostgreSQL
// cluster of the test's own: logins fail soon and plainly, results wait
// and arrive once, and what is still owed at a stop is written or logged.
#include <gtest/gtest.h>
#include <httplib.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "server/store/accounts.h"
#include "server/store/result_lines.h"
#include "spine/fields.h"
#include "support/server/loopback.h"
#include "support/server/pg_cluster.h"

namespace gorvane::testing {
namespace {

using namespace std::chrono_literals;

bool Logged(const std::vector<std::string>& log, std::string_view part) {
  return std::any_of(log.begin(), log.end(),
                     [&](const std::string& line) { return line.find(part) != line.npos; });
}

// A server on the cluster's database with alice and bob logged in, in one
// party whose game is under way, and a third user in the lobby.
struct SharedGame {
  explicit SharedGame(PgCluster& cluster, const std::string& address) {
    uri = cluster.Uri("faults" + std::to_string(::getpid()) + "_" + address.substr(address.rfind('.') + 1));
    std::string error;
    auto store = server::AccountStore::Open(uri, error);
    if (!store || !store->SetPassword("alice", "pw-a", error) || !store->SetPassword("bob", "pw-b", error))
      throw std::runtime_error(error);
    harness = std::make_unique<Harness>(address, uri, Generous);
    LoadCards(cards);
    a = harness->Connect("Al");
    b = harness->Connect("Bo");
    c = harness->Connect("Cy");
    a->Command("G_LOGIN", "alice pw-a");
    b->Command("G_LOGIN", "bob pw-b");
    harness->Received({a.get(), b.get()});
    a->Command("P_CREATE");
    harness->Received({a.get(), b.get()});
    b->Command("P_JOIN", "1");
    b->Command("P_LIST");
    harness->Received({a.get(), b.get()});
    a->Command("P_START");
  }
  // Plays the game out; each login's amount and win as the results say.
  std::map<std::string, std::pair<int64_t, int64_t>> Finish() {
    const auto heard = PlayOut(*harness, {a.get(), b.get()}, cards);
    if (!heard) return {};
    const Fields result = SplitCommaText(heard->at(a->id).back());
    std::map<int32_t, int64_t> amounts;
    for (size_t i = 1; i < result.size(); ++i) {
      const Fields item = SplitDelimitedText(result[i], ':');
      amounts[std::stoi(item.at(0))] = std::stoll(item.at(1));
    }
    const int64_t best = std::max(amounts[a->id], amounts[b->id]);
    auto of = [&](int32_t id) { return std::pair{amounts[id], best > 0 && amounts[id] == best ? 1 : 0}; };
    return {{"alice", of(a->id)}, {"bob", of(b->id)}};
  }

  std::string uri;
  CardCatalogue cards;
  std::unique_ptr<Harness> harness;
  std::unique_ptr<RawClient> a;
  std::unique_ptr<RawClient> b;
  std::unique_ptr<RawClient> c;  // not in the party
};

// The totals in the store now, read on a connection of the test's own.
std::map<std::string, std::pair<int64_t, int64_t>> Totals(const std::string& uri) {
  std::string error;
  auto store = server::AccountStore::Open(uri, error);
  std::map<std::string, std::pair<int64_t, int64_t>> totals;
  for (const char* login : {"alice", "bob"}) {
    const auto statistics = store ? store->Read(login) : std::nullopt;
    if (statistics) totals[login] = {statistics->prize, statistics->wins};
  }
  return totals;
}

// The database host stops answering, then goes down during a game and
// comes back: logins meanwhile are answered as wrong passwords within the
// bound, the game's results wait in order and arrive exactly once.
TEST(SharedPostgres, LoginsAnsweredInTimeAndResultsArriveOnceThroughAHangAndARestart) {
  PgCluster cluster;
  ASSERT_TRUE(cluster.failure().empty()) << cluster.failure();
  SharedGame game(cluster, "127.0.0.141");
  Harness& harness = *game.harness;
  RawClient& c = *game.c;
  // The answer to a login, among the lobby's news.
  auto logIn = [&] {
    harness.Received({&c});
    c.Command("G_LOGIN", "alice pw-a");
    const auto answer = [&] {
      return std::find_if(c.inbox.begin(), c.inbox.end(),
                          [](const std::string& m) { return m == "S_LOGIN" || m.starts_with("S_ELOGIN"); });
    };
    harness.RunUntil(
        {&c}, [&] { return answer() != c.inbox.end(); }, 5s);
    return answer() == c.inbox.end() ? std::string("no answer within 5 s") : *answer();
  };
  ASSERT_TRUE(cluster.Pause());
  const std::string whilePaused = logIn();
  ASSERT_TRUE(cluster.Resume());
  EXPECT_EQ(whilePaused, "S_ELOGIN,15");
  EXPECT_TRUE(Logged(harness.log(), "logins answered as wrong passwords: the account store failed"));

  ASSERT_TRUE(cluster.Stop());
  const auto owed = game.Finish();
  ASSERT_EQ(owed.size(), 2u);
  EXPECT_EQ(logIn(), "S_ELOGIN,15");
  EXPECT_TRUE(harness.RunUntil(
      {&c}, [&] { return Logged(harness.log(), "game results owed"); }, 3s));
  EXPECT_EQ(harness.lobby().resultsOwed(), 2u);

  ASSERT_TRUE(cluster.Start());
  ASSERT_TRUE(harness.RunUntil(
      {&c}, [&] { return harness.lobby().resultsOwed() == 0; }, 15s));
  EXPECT_TRUE(Logged(harness.log(), "the account store is back"));
  EXPECT_EQ(Totals(game.uri), owed);
  EXPECT_EQ(logIn(), "S_LOGIN");
}

// Stopped while results are owed: written when the database is back in
// time for the goodbye, else logged one line each for the host.
TEST(SharedPostgres, ResultsOwedAtAStopAreWrittenOrLogged) {
  for (const bool back : {false, true}) {
    PgCluster cluster;
    ASSERT_TRUE(cluster.failure().empty()) << cluster.failure();
    SharedGame game(cluster, back ? "127.0.0.143" : "127.0.0.142");
    Harness& harness = *game.harness;
    ASSERT_TRUE(cluster.Stop());
    const auto owed = game.Finish();
    ASSERT_EQ(owed.size(), 2u);
    ASSERT_TRUE(harness.RunUntil(
        {}, [&] { return Logged(harness.log(), "game results owed"); }, 3s));
    if (back) {
      ASSERT_TRUE(cluster.Start());
    }
    harness.server().Stop();
    harness.server().Run();
    const auto& log = harness.log();
    for (const auto& [login, result] : owed) {
      const std::string line = "result not stored: login " + login + ", prize " +
                               std::to_string(result.first) + ", win " + std::to_string(result.second);
      EXPECT_EQ(Logged(log, line), !back) << line;
    }
    if (!back) {
      ASSERT_TRUE(cluster.Start());
    }
    const decltype(owed) none = {{"alice", {0, 0}}, {"bob", {0, 0}}};
    EXPECT_EQ(Totals(game.uri), back ? owed : none);
  }
}

// The accounts table held by a transaction of the test's own, as VACUUM
// FULL, REINDEX or ALTER TABLE hold it, until Release.
class TableLock {
 public:
  explicit TableLock(const std::string& uri) : connection_(PQconnectdb(uri.c_str())) {
    PGresult* result = PQexec(connection_, "BEGIN; LOCK TABLE accounts IN ACCESS EXCLUSIVE MODE");
    held_ = PQresultStatus(result) == PGRES_COMMAND_OK;
    PQclear(result);
  }
  ~TableLock() {
    Release();
    PQfinish(connection_);
  }
  bool held() const { return held_; }
  void Release() {
    if (!held_) return;
    PQclear(PQexec(connection_, "ROLLBACK"));
    held_ = false;
  }

 private:
  PGconn* connection_;
  bool held_ = false;
};

// The database hangs while a game ends and a user logs in, then the server
// is stopped: it is done within 5 s (systemd kills at 10), the goodbye
// said, and every result it could not store is in its log with what a
// replay needs, which adds each exactly once whatever the database took.
TEST(SharedPostgres, AStopWithAHungDatabaseEndsInTimeAndLogsWhatItOwes) {
  const struct {
    const char* what;
    const char* address;
    bool freeze;
  } cases[] = {
      {"a locked table", "127.0.0.144", false},
      {"a frozen database process", "127.0.0.145", true},
  };
  for (const auto& c : cases) {
    PgCluster cluster;
    ASSERT_TRUE(cluster.failure().empty()) << cluster.failure();
    SharedGame game(cluster, c.address);
    Harness& harness = *game.harness;
    std::optional<TableLock> lock;
    if (c.freeze) {
      ASSERT_TRUE(cluster.Pause()) << c.what;
    } else {
      lock.emplace(game.uri);
      ASSERT_TRUE(lock->held()) << c.what;
    }
    // Whatever the stop does, the database answers again after 12 s, so
    // that a stop which waits for it fails here instead of hanging.
    std::mutex mutex;
    std::condition_variable wake;
    bool released = false;
    std::thread release([&] {
      std::unique_lock held(mutex);
      wake.wait_for(held, 12s, [&] { return released; });
      if (c.freeze) {
        cluster.Resume();
      } else {
        lock->Release();
      }
    });
    const auto owed = game.Finish();
    ASSERT_EQ(owed.size(), 2u) << c.what;
    game.c->Command("G_LOGIN", "alice pw-a");
    harness.RunUntil(
        {game.c.get()}, [] { return false; }, 300ms);

    const auto start = std::chrono::steady_clock::now();
    harness.server().Stop();
    harness.server().Run();
    const auto took = std::chrono::steady_clock::now() - start;
    {
      const std::lock_guard held(mutex);
      released = true;
    }
    wake.notify_one();
    release.join();
    EXPECT_LT(took, 5s) << c.what;
    while (game.c->Poll()) {
    }
    EXPECT_NE(std::find(game.c->inbox.begin(), game.c->inbox.end(), "S_BYE"), game.c->inbox.end()) << c.what;

    std::vector<server::OwedResult> logged;
    for (const std::string& line : harness.log()) {
      if (auto result = server::ParseResultLine(line)) logged.push_back(*result);
    }
    std::map<std::string, std::pair<int64_t, int64_t>> unstored;
    for (const server::OwedResult& result : logged) unstored[result.login] = {result.prize, result.wins};
    EXPECT_EQ(unstored, owed) << c.what;

    // The host replays the lines, twice by mistake: each counts once.
    std::string error;
    auto store = server::AccountStore::Open(game.uri, error);
    ASSERT_TRUE(store) << error;
    for (int time = 0; time < 2; ++time) {
      for (const server::OwedResult& result : logged) EXPECT_TRUE(store->Apply(result, error)) << error;
    }
    EXPECT_EQ(Totals(game.uri), owed) << c.what;
  }
}

// A URI that carries a password (the cluster trusts its socket and never
// asks for it): while the database is down, nothing the server prints or
// serves holds the password, and /healthz says the database is unreachable
// without naming its socket.
TEST(SharedPostgres, NoPageOrLogLineHoldsTheDatabasePassword) {
  PgCluster cluster;
  ASSERT_TRUE(cluster.failure().empty()) << cluster.failure();
  const std::string plain = cluster.Uri("secret" + std::to_string(::getpid()));
  const std::string secret = "Sekr1t-Pa55";
  const std::string uri = "postgresql://postgres:" + secret + "@" + plain.substr(plain.find(":///") + 3);
  const std::string socket = plain.substr(plain.find("host=") + 5, plain.find('&') - plain.find("host=") - 5);
  {
    std::string error;
    auto store = server::AccountStore::Open(uri, error);
    ASSERT_TRUE(store && store->SetPassword("alice", "pw-a", error)) << error;
  }
  Harness harness("127.0.0.146", uri, [](server::ServerOptions& options) {
    Generous(options);
    options.http = server::HttpEndpoint{"127.0.0.146", 0};
  });
  auto a = harness.Connect("Al");
  ASSERT_TRUE(cluster.Stop());
  a->Command("G_LOGIN", "alice pw-a");
  ASSERT_TRUE(harness.RunUntil(
      {a.get()}, [&] { return Logged(harness.log(), "the account store failed"); }, 8s));
  httplib::Client client("127.0.0.146", harness.server().httpPort());
  client.set_read_timeout(5, 0);
  std::map<std::string, std::string> served;
  for (int tries = 0; tries < 40 && served["/healthz"].find("database") == std::string::npos; ++tries) {
    harness.RunUntil(
        {a.get()}, [] { return false; }, 250ms);
    if (const auto health = client.Get("/healthz")) served["/healthz"] = health->body;
  }
  for (const char* path : {"/metrics", "/"}) {
    if (const auto page = client.Get(path)) served[path] = page->body;
  }
  EXPECT_EQ(served["/healthz"], "database: unreachable\n");
  for (const auto& [path, body] : served) {
    EXPECT_FALSE(body.empty()) << path;
    EXPECT_EQ(body.find(secret), std::string::npos) << path;
  }
  EXPECT_EQ(served["/healthz"].find(socket), std::string::npos);
  for (const std::string& line : harness.log()) EXPECT_EQ(line.find(secret), std::string::npos) << line;
  ASSERT_TRUE(cluster.Start());
}

}  // namespace
}  // namespace gorvane::testing
