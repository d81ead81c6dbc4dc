// SPDX-License-Identifier: GPL-3.0-or-later
// shared: two servers on one PostgreSQL database against the same two on an
// SQLite file each: the logins a second they answer with p99 at most 250 ms,
// how soon a game's results on one show through G_INFO on the other, and
// each one's lobby chat round trip while the other plays 50 games.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/store/accounts.h"
#include "server_bench.h"
#include "sim/users.h"
#include "support/server/pg_cluster.h"

namespace gorvane::bench {
namespace {

using namespace std::chrono_literals;

constexpr const char* kServers[2] = {"127.0.0.61", "127.0.0.62"};
constexpr const char* kSharedPassword = "bench-pw";
// The players of the first three parties on the first server, watched
// through G_INFO on the second; fewer when there are fewer players.
constexpr size_t kWatched = 9;

size_t Watched(const SharedSettings& settings) { return std::min(kWatched, settings.players); }

// Every store of the part holds the same accounts: the pool's, and each
// server's players'. One hash at the iterations of a real account serves
// them all, so that filling a store takes no time; it is a hash as a new
// account gets it, so that no login is a rehash.
std::vector<server::Account> Accounts(const SharedSettings& settings) {
  server::Credentials credentials;
  credentials.salt = server::NewSalt();
  credentials.iterations = static_cast<int>(server::kArgonPasses);
  credentials.hash = server::HashPassword(kSharedPassword, credentials.salt, credentials.iterations);
  std::vector<server::Account> accounts;
  for (size_t i = 0; i < settings.accounts; ++i)
    accounts.push_back({"s" + std::to_string(i), credentials, {}});
  for (const char* prefix : {"a", "b"}) {
    for (size_t i = 0; i < settings.players; ++i)
      accounts.push_back({prefix + std::to_string(i), credentials, {}});
  }
  return accounts;
}

bool Fill(const std::string& where, const std::vector<server::Account>& accounts) {
  std::string error;
  auto store = server::AccountStore::Open(where, error);
  if (!store || !store->Import(accounts, error)) {
    std::printf("server_bench shared: cannot fill %s: %s\n", where.c_str(), error.c_str());
    return false;
  }
  return store->Close();
}

// Two servers on their stores, with a pool of joined users on both, and
// what was measured of them.
struct Setup {
  Setup(const char* name, const std::string (&stores)[2], bool shared, const SharedSettings& settings)
      : name(name),
        shared(shared),
        servers{std::make_unique<ServerThread>(PairedOptions(kServers[0], 1, stores[0])),
                std::make_unique<ServerThread>(PairedOptions(kServers[1], 2, stores[1]))},
        pool({{kServers[0], servers[0]->port()}, {kServers[1], servers[1]->port()}}, settings.poolPerServer,
             Logins("s", settings.accounts), kSharedPassword, 1, Logins("a", Watched(settings))) {}

  static std::vector<std::string> Logins(const char* prefix, size_t count) {
    std::vector<std::string> logins;
    for (size_t i = 0; i < count; ++i) logins.push_back(prefix + std::to_string(i));
    return logins;
  }

  const char* name;
  bool shared;
  std::unique_ptr<ServerThread> servers[2];
  LoginPool pool;
  std::optional<double> loginsHeld;
  std::vector<double> shown;  // ms from a game's end to its results on the other server
  size_t looked = 0;          // results looked for
  Percentiles chat[2];        // on each server while the other plays
};

std::string Held(const std::optional<double>& rate) {
  return rate ? std::to_string(static_cast<int>(*rate)) + "/s" : std::string("no step");
}

// One step of a setup's logins: whether it held.
bool LoginStep(Setup& setup, double rate, bool again, const SharedSettings& settings) {
  LoginPool& pool = setup.pool;
  pool.Rate(rate);
  std::this_thread::sleep_for(settings.settle);
  pool.Take();
  const uint64_t missed = pool.missed();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(settings.rateSeconds));
  const std::vector<double> samples = pool.Take();
  pool.Rate(0);
  const double seconds = Seconds(Clock::now() - start);
  const Percentiles times = Summarize(samples);
  const auto failed = std::count_if(samples.begin(), samples.end(), [](double ms) { return std::isinf(ms); });
  const uint64_t unsent = pool.missed() - missed;
  std::printf("    %9.0f %-11s %9.1f %8.1f %8.1f %7lld %12llu   (load %s)%s\n", rate, setup.name,
              static_cast<double>(samples.size()) / seconds, times.median, times.p99,
              static_cast<long long>(failed), static_cast<unsigned long long>(unsent), LoadAverage().c_str(),
              again ? " again" : "");
  if (unsent > 0) std::printf("    (the pool has too few users for %.0f/s)\n", rate);
  return unsent == 0 && times.count > 0 && times.p99 <= settings.loginGoalMs;
}

// a: steps up the rate for each setup in turn, so that both meet the same
// machine, until the p99 of the login time passes the goal. A step that
// breaks is measured once more: a sustained rate, not a moment in which
// something else on the machine took the CPU, is what is looked for.
void MeasureLogins(std::vector<Setup*> setups, const SharedSettings& settings) {
  std::printf("    %9s %-11s %9s %8s %8s %7s %12s\n", "logins/s", "store", "answers/s", "p50 ms", "p99 ms",
              "failed", "no free user");
  std::vector<bool> going(setups.size(), true);
  for (const size_t rate : settings.rates) {
    for (size_t i = 0; i < setups.size(); ++i) {
      if (!going[i]) continue;
      const double perSecond = static_cast<double>(rate);
      if (LoginStep(*setups[i], perSecond, false, settings) ||
          LoginStep(*setups[i], perSecond, true, settings)) {
        setups[i]->loginsHeld = perSecond;
      } else {
        going[i] = false;
      }
    }
  }
  for (const Setup* setup : setups) {
    std::printf("    logins, %s: held %s with p99 <= %.0f ms\n", setup->name, Held(setup->loginsHeld).c_str(),
                settings.loginGoalMs);
  }
}

// The ends of the watched players' first games that changed their totals.
struct Ends {
  std::mutex mutex;
  std::optional<Clock::time_point> at[kWatched];
};

std::unique_ptr<Crowd> Players(const ServerThread& server, size_t which, const gorvane::CardCatalogue& cards,
                               const SharedSettings& settings, Ends* ends) {
  CrowdSettings crowd;
  crowd.partyEvery = 3;  // everybody plays, in parties of three
  crowd.thinkMs = settings.thinkMs;
  crowd.leavePerMinute = 0;
  crowd.loginPrefix = which == 0 ? "a" : "b";
  crowd.password = kSharedPassword;
  if (ends) {
    crowd.onResult = [ends](size_t user, int64_t amount) {
      if (user >= kWatched || amount == 0) return;
      std::lock_guard lock(ends->mutex);
      if (!ends->at[user]) ends->at[user] = Clock::now();
    };
  }
  auto players = std::make_unique<Crowd>(kServers[which], server.port(), cards, crowd);
  players->Begin(true);
  players->GrowTo(settings.players);
  return players;
}

// b: the watched players' results through G_INFO on the second server.
void MeasureShown(Setup& setup, Ends& ends, const SharedSettings& settings) {
  const size_t watched = Watched(settings);
  bool asked[kWatched] = {};
  bool done[kWatched] = {};
  const auto deadline = Clock::now() + settings.gamesWithin;
  for (size_t resolved = 0; resolved < watched && Clock::now() < deadline;) {
    std::this_thread::sleep_for(5ms);
    const auto now = Clock::now();
    for (size_t k = 0; k < watched; ++k) {
      std::optional<Clock::time_point> end;
      {
        std::lock_guard lock(ends.mutex);
        end = ends.at[k];
      }
      if (!end || done[k]) continue;
      if (!asked[k]) {
        setup.pool.Ask(k);
        asked[k] = true;
        ++setup.looked;
      }
      if (const auto seen = setup.pool.Seen(k)) {
        setup.shown.push_back(std::chrono::duration<double, std::milli>(*seen - *end).count());
      } else if (now < *end + settings.lookFor) {
        continue;
      }
      done[k] = true;
      ++resolved;
    }
  }
  const Percentiles shown = Summarize(setup.shown);
  if (setup.shown.empty() && !setup.shared) {
    std::printf(
        "    results, %s: a game's on %s through G_INFO on %s: not shared (none of %zu shown within %lld s;\n"
        "      each server has a file of its own)\n",
        setup.name, kServers[0], kServers[1], setup.looked,
        static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(settings.lookFor).count()));
  } else {
    std::printf(
        "    results, %s: a game's on %s through G_INFO on %s: %zu of %zu shown, delay median %.0f ms,\n"
        "      max %.0f ms (goal <= 1 s)\n",
        setup.name, kServers[0], kServers[1], setup.shown.size(), setup.looked, shown.median,
        setup.shown.empty() ? 0.0 : *std::max_element(setup.shown.begin(), setup.shown.end()));
  }
}

// c: the lobby chat round trip on one server while the other's players
// play; b too while the first server's play.
void MeasureChat(Setup& setup, size_t quiet, const gorvane::CardCatalogue& cards,
                 const SharedSettings& settings) {
  const size_t playing = 1 - quiet;
  Ends ends;
  auto players = Players(*setup.servers[playing], playing, cards, settings, playing == 0 ? &ends : nullptr);
  if (playing == 0) MeasureShown(setup, ends, settings);
  Probes probes(kServers[quiet], setup.servers[quiet]->port(), settings.probes, settings.chatEvery);
  probes.Begin(false);
  Wait([&] { return probes.ready() && players->games() > 0; }, 60s);
  std::this_thread::sleep_for(settings.settle);
  probes.Take();
  const uint64_t games = players->games();
  std::this_thread::sleep_for(std::chrono::seconds(settings.chatSeconds));
  const Percentiles trips = Summarize(probes.Take());
  std::printf(
      "    lobby chat, %s: on %s while %s plays %zu games: p50 %.2f ms, p99 %.2f ms\n"
      "      (%zu lines, %llu games ended, load %s)\n",
      setup.name, kServers[quiet], kServers[playing], settings.players / 3, trips.median, trips.p99,
      trips.count, static_cast<unsigned long long>(players->games() - games), LoadAverage().c_str());
  setup.chat[quiet] = trips;
}

double Ratio(double pg, double sqlite) { return sqlite > 0 ? pg / sqlite : 0.0; }

}  // namespace

void RunShared(const SharedSettings& settings) {
  std::printf(
      "\nserver_bench shared: two servers (%s, %s), one PostgreSQL database against an SQLite file each\n",
      kServers[0], kServers[1]);
  std::printf(
      "  (a: logins from a pool of %zu joined users a server, the servers in turn, over %zu accounts,\n"
      "  the rate stepped up until p99 of G_LOGIN to its answer passes %.0f ms twice running, an S_ELOGIN or "
      "no\n"
      "  answer in 5 s failed and counted as infinite; b: a game's results on the first server through "
      "G_INFO on\n"
      "  the second; c: lobby chat round trips of %zu users on one server while %zu logged-in players\n"
      "  play %zu games on the other, %d ms a move)\n",
      settings.poolPerServer, settings.accounts, settings.loginGoalMs, settings.probes, settings.players,
      settings.players / 3, settings.thinkMs);
  const gorvane::CardCatalogue cards = Cards();
  const std::vector<server::Account> accounts = Accounts(settings);
  {
    // What a login costs at least, to read the rates by: each server hashes
    // one password at a time.
    const auto start = Clock::now();
    for (int i = 0; i < 20; ++i)
      server::HashPassword("x", accounts[0].credentials.salt, accounts[0].credentials.iterations);
    const double ms = Seconds(Clock::now() - start) * 1000 / 20;
    std::printf(
        "  (one password hash here: %.1f ms; two servers hashing on %u cores: at most %.0f logins/s)\n", ms,
        std::thread::hardware_concurrency(),
        std::min(2.0, static_cast<double>(std::thread::hardware_concurrency())) * 1000 / ms);
  }
  testing::PgCluster cluster;
  if (!cluster.failure().empty()) {
    std::printf("server_bench shared: no PostgreSQL: %s\n", cluster.failure().c_str());
    return;
  }
  const std::string uri = cluster.Uri("gorvane_shared_" + std::to_string(::getpid()));
  const std::string files[2] = {"/tmp/gorvane-shared-" + std::to_string(::getpid()) + "-a.db",
                                "/tmp/gorvane-shared-" + std::to_string(::getpid()) + "-b.db"};
  if (!Fill(uri, accounts) || !Fill(files[0], accounts) || !Fill(files[1], accounts)) return;
  const std::string shared[2] = {uri, uri};
  {
    // Both setups at once, idle but for what is measured, so that each of
    // their steps meets the machine as the other's does.
    const auto start = Clock::now();
    Setup pg("PostgreSQL", shared, true, settings);
    Setup sqlite("SQLite", files, false, settings);
    pg.pool.Begin(false);
    sqlite.pool.Begin(false);
    Wait([&] { return pg.pool.ready() && sqlite.pool.ready(); }, 120s);
    MeasureLogins({&pg, &sqlite}, settings);
    for (const size_t quiet : {1, 0}) {
      for (Setup* setup : {&pg, &sqlite}) MeasureChat(*setup, quiet, cards, settings);
    }
    std::printf("    (%.0f s)\n", Seconds(Clock::now() - start));
    std::printf(
        "\nserver_bench shared: PostgreSQL / SQLite: logins held %s / %s = %.2fx (Argon2id bounds each "
        "server near 25/s)\n",
        Held(pg.loginsHeld).c_str(), Held(sqlite.loginsHeld).c_str(),
        Ratio(pg.loginsHeld.value_or(0), sqlite.loginsHeld.value_or(0)));
    for (const size_t which : {1, 0}) {
      std::printf(
          "server_bench shared: PostgreSQL / SQLite: lobby chat p99 on %s while the other plays: %.2f / %.2f "
          "ms = "
          "%.2fx (goal <= 1.5x)\n",
          kServers[which], pg.chat[which].p99, sqlite.chat[which].p99,
          Ratio(pg.chat[which].p99, sqlite.chat[which].p99));
    }
  }
  for (const std::string& file : files) std::remove(file.c_str());
}

}  // namespace gorvane::bench
