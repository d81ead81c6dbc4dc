// SPDX-License-Identifier: GPL-3.0-or-later
// The shared store going away under a running server, on a real PostgreSQL
// cluster of the test's own: logins fail soon and plainly, results wait
// and arrive once, and what is still owed at a stop is written or logged.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "server/store/accounts.h"
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
  EXPECT_TRUE(Logged(harness.log(), "the account store did not answer within"));

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

}  // namespace
}  // namespace gorvane::testing
