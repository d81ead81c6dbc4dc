// SPDX-License-Identifier: GPL-3.0-or-later
// moderation: what moderators cost the loop, and how fast a ban made on one
// server holds on another sharing its PostgreSQL database. a: the lobby chat
// round trip's p99 on a server of many users, idle but for them, against b:
// moderators there typing commands, and c: bans made and lifted on the
// other server, which the first reads every second. Then a ban's way: a
// moderator on the first bans a login whose user is on the second, timed
// to that user's S_BYE, and to a fresh G_LOGIN of it there refused.
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/store/accounts.h"
#include "server_bench.h"
#include "sim/moderators.h"
#include "sim/users.h"
#include "support/server/pg_cluster.h"

namespace gorvane::bench {
namespace {

using namespace std::chrono_literals;

constexpr const char* kServers[2] = {"127.0.0.176", "127.0.0.177"};
constexpr const char* kModPassword = "bench-pw";
// Source groups (127.group.x.y) of this part alone: moderators, the guests
// after them, the addresses banned that nobody uses, and the ban's way.
constexpr int kModeratorsGroup[2] = {60, 62};  // and + 1 for each one's guests
constexpr int kUnusedGroup[2] = {64, 65};
constexpr int kBannedOnB = 66;  // logged in at B, banned through A
constexpr int kTwinOnA = 67;    // the same login at A, which the moderator names
constexpr int kFreshOnB = 68;   // a fresh G_LOGIN of it at B
constexpr int kWayModerator = 69;
constexpr double kRatioGoal = 1.2;
constexpr double kWayGoalMs = 5000;

// A second of moderation on the first server, twice over: 10 lines a
// second, the one /announce every 2 s; each ban is lifted a line or three
// later, each mute ends after its minute.
constexpr std::array<std::string_view, 20> kMix = {
    "who", "ban", "who",      "unban", "mute", "bans", "ban", "kick", "who",   "unban",
    "who", "ban", "announce", "unban", "mute", "bans", "ban", "kick", "unban", "who"};

// The lines of kMix in turn, on the guests and on addresses of the group.
std::function<std::string(uint64_t)> MixScript(size_t guests, int unused) {
  struct State {
    uint64_t bans = 0;
    uint64_t lifts = 0;
    uint64_t guest = 0;
  };
  auto state = std::make_shared<State>();
  return [state, guests, unused](uint64_t n) {
    const std::string_view word = kMix[n % kMix.size()];
    const std::string guest = GuestName(guests == 0 ? 0 : state->guest++ % guests);
    if (word == "who") return "/who " + guest;
    if (word == "mute") return "/mute " + guest + " 1 bench";
    if (word == "kick") return "/kick " + guest + " bench";
    if (word == "ban") return "/ban " + SourceAddress(unused, state->bans++ % 50000) + " 5 bench";
    if (word == "unban") return "/unban " + SourceAddress(unused, state->lifts++ % 50000);
    if (word == "announce") return std::string("/announce bench ") + std::to_string(n);
    return std::string("/bans");
  };
}

// Bans made and lifted in turn on addresses of the group.
std::function<std::string(uint64_t)> BanScript(int unused) {
  return [unused](uint64_t n) {
    const std::string address = SourceAddress(unused, (n / 2) % 50000);
    return n % 2 == 0 ? "/ban " + address + " 5 bench" : "/unban " + address;
  };
}

std::vector<std::string> Logins(const std::string& prefix, size_t count) {
  std::vector<std::string> logins;
  for (size_t i = 0; i < count; ++i) logins.push_back(prefix + std::to_string(i));
  return logins;
}

// The moderators of both servers and the logins of the ban's way, on one
// hash at the iterations of a real account, so that the store fills at once.
bool Fill(const std::string& uri, const ModerationSettings& settings) {
  server::Credentials credentials;
  credentials.salt = server::NewSalt();
  credentials.iterations = static_cast<int>(server::kArgonPasses);
  credentials.hash = server::HashPassword(kModPassword, credentials.salt, credentials.iterations);
  std::vector<std::string> moderators = Logins("ma", settings.moderators);
  for (std::string& login : Logins("mb", settings.moderators)) moderators.push_back(std::move(login));
  moderators.push_back("mway");
  std::vector<server::Account> accounts;
  for (const std::string& login : moderators) accounts.push_back({login, credentials, {}});
  for (const std::string& login : Logins("w", settings.samples)) accounts.push_back({login, credentials, {}});
  std::string error;
  auto store = server::AccountStore::Open(uri, error);
  bool filled = store && store->Import(accounts, error);
  for (const std::string& login : moderators) filled = filled && store->SetModerator(login, true, error);
  if (!filled) std::printf("server_bench moderation: cannot fill the store: %s\n", error.c_str());
  return filled && store->Close();
}

ModeratorsSettings Team(size_t which, const ServerThread& server, const ModerationSettings& settings,
                        size_t guests, std::function<std::string(uint64_t)> script) {
  return {.server = kServers[which],
          .port = server.port(),
          .logins = Logins(which == 0 ? "ma" : "mb", settings.moderators),
          .password = kModPassword,
          .group = kModeratorsGroup[which],
          .guests = guests,
          .every = settings.every,
          .script = std::move(script)};
}

double Ratio(double a, double b) { return b > 0 ? a / b : 0.0; }

// 1: the three setups by turns, each round measured as long.
void MeasureLoop(const ServerThread& a, Probes& probes, Moderators& onA, Moderators& onB,
                 const ModerationSettings& settings) {
  const char* names[3] = {"a: no moderation", "b: moderators on A", "c: bans changing on B"};
  std::vector<double> samples[3];
  std::printf("    %-24s %8s %8s %7s %8s %9s %8s\n", "setup", "p50 ms", "p99 ms", "lines", "typed/s",
              "SYS lines", "srv CPU");
  for (int round = 0; round < settings.rounds; ++round) {
    for (int setup = 0; setup < 3; ++setup) {
      onA.Type(setup == 1);
      onB.Type(setup == 2);
      std::this_thread::sleep_for(settings.settle);
      probes.Take();
      const uint64_t typed = onA.typed() + onB.typed();
      const uint64_t answers = onA.answers() + onB.answers();
      const double cpu = a.CpuSeconds();
      const auto start = Clock::now();
      std::this_thread::sleep_for(settings.measure);
      const std::vector<double> got = probes.Take();
      const double seconds = Seconds(Clock::now() - start);
      const Percentiles trips = Summarize(got);
      samples[setup].insert(samples[setup].end(), got.begin(), got.end());
      std::printf("    %-24s %8.2f %8.2f %7zu %8.1f %9llu %7.0f%%   (load %s)\n", names[setup], trips.median,
                  trips.p99, trips.count, static_cast<double>(onA.typed() + onB.typed() - typed) / seconds,
                  static_cast<unsigned long long>(onA.answers() + onB.answers() - answers),
                  100 * (a.CpuSeconds() - cpu) / seconds, LoadAverage().c_str());
    }
  }
  onA.Type(false);
  onB.Type(false);
  Percentiles all[3];
  for (int setup = 0; setup < 3; ++setup) all[setup] = Summarize(samples[setup]);
  std::printf("    (guests kicked and back: %llu; moderators lost: %zu; probes lost: %zu)\n",
              static_cast<unsigned long long>(onA.returns()), onA.lost() + onB.lost(), probes.lost());
  std::printf(
      "\nserver_bench moderation: lobby chat p99 on A, moderators on A / none: %.2f / %.2f ms = %.2fx "
      "(goal <= %.1fx)\n",
      all[1].p99, all[0].p99, Ratio(all[1].p99, all[0].p99), kRatioGoal);
  std::printf(
      "server_bench moderation: lobby chat p99 on A, bans changing on B / none: %.2f / %.2f ms = %.2fx "
      "(goal <= %.1fx)\n",
      all[2].p99, all[0].p99, Ratio(all[2].p99, all[0].p99), kRatioGoal);
}

// Reads until a message the test takes, the connection's end or the limit.
std::optional<std::string> Await(testing::RawClient& client,
                                 const std::function<bool(std::string_view)>& wanted, Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    const bool open = client.Poll();
    while (!client.inbox.empty()) {
      std::string message = std::move(client.inbox.front());
      client.inbox.pop_front();
      if (wanted(message)) return message;
    }
    if (!open) return std::nullopt;
    std::this_thread::sleep_for(1ms);
  }
  return std::nullopt;
}

bool Is(std::string_view message, std::string_view kind) { return KindOf(message) == kind; }

// A joined user of the server, logged in as the login when one is given.
std::unique_ptr<testing::RawClient> Joined(size_t which, const ServerThread& server,
                                           const std::string& source, const std::string& name,
                                           const std::string& login) {
  auto client = std::make_unique<testing::RawClient>();
  if (!client->Connect(kServers[which], server.port(), source) ||
      !Await(
          *client, [](std::string_view m) { return Is(m, "S_CONNECT"); }, 5s))
    return nullptr;
  client->Command("G_JOIN", name);
  if (!Await(
          *client, [&](std::string_view m) { return Is(m, "S_GREETING") && FieldInt(m, 1) == client->id; },
          5s))
    return nullptr;
  if (login.empty()) return client;
  client->Command("G_LOGIN", login + " " + kModPassword);
  if (!Await(
          *client, [](std::string_view m) { return Is(m, "S_LOGIN") || Is(m, "S_ELOGIN"); }, 5s))
    return nullptr;
  return client;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// 2: each sample a login of its own, logged in at both servers; the
// moderator on A bans it by its user there.
void MeasureWay(const ServerThread& a, const ServerThread& b, const ModerationSettings& settings) {
  auto moderator = Joined(0, a, SourceAddress(kWayModerator, 0), "modway", "mway");
  if (!moderator) {
    std::printf("    the moderator could not log in at A\n");
    return;
  }
  std::vector<double> toBye;
  std::vector<double> toRefusal;
  size_t failed = 0;
  for (size_t k = 0; k < settings.samples; ++k) {
    const auto began = Clock::now();
    const std::string login = "w" + std::to_string(k);
    auto banned = Joined(1, b, SourceAddress(kBannedOnB, k), "wb" + std::to_string(k), login);
    auto twin = Joined(0, a, SourceAddress(kTwinOnA, k), "wa" + std::to_string(k), login);
    auto fresh = Joined(1, b, SourceAddress(kFreshOnB, k), "wf" + std::to_string(k), {});
    if (!banned || !twin || !fresh) {
      ++failed;
      continue;
    }
    const auto sent = Clock::now();
    moderator->Command("G_CHAT", "/ban wa" + std::to_string(k) + " 5 bench");
    if (!Await(
            *banned, [](std::string_view m) { return Is(m, "S_BYE"); }, 10s)) {
      ++failed;
      continue;
    }
    toBye.push_back(Ms(Clock::now() - sent));
    fresh->Command("G_LOGIN", login + " " + kModPassword);
    const auto answer = Await(
        *fresh, [](std::string_view m) { return Is(m, "S_LOGIN") || Is(m, "S_ELOGIN"); }, 5s);
    if (answer && Is(*answer, "S_ELOGIN") && FieldInt(*answer, 1) == 15) {
      toRefusal.push_back(Ms(Clock::now() - sent));
    } else {
      ++failed;
    }
    moderator->Poll();
    moderator->inbox.clear();
    // The moderator within its chat limit, and the bans made at moments
    // spread over the other server's second between reads.
    std::this_thread::sleep_until(began + settings.wayEvery + std::chrono::milliseconds(37 * (k % 11)));
  }
  const Percentiles bye = Summarize(toBye);
  const Percentiles refusal = Summarize(toRefusal);
  std::printf("    (%zu samples, %zu failed or not refused; load %s)\n", settings.samples, failed,
              LoadAverage().c_str());
  std::printf(
      "\nserver_bench moderation: a ban on A to its login's user on B sent away (S_BYE): p50 %.0f ms, p99 "
      "%.0f ms (goal p99 <= %.0f s)\n",
      bye.median, bye.p99, kWayGoalMs / 1000);
  std::printf(
      "server_bench moderation: a ban on A to a fresh G_LOGIN of it on B refused (S_ELOGIN,15): p50 %.0f ms, "
      "p99 %.0f ms (goal p99 <= %.0f s)\n",
      refusal.median, refusal.p99, kWayGoalMs / 1000);
}

}  // namespace

void RunModeration(const ModerationSettings& settings) {
  std::printf(
      "\nserver_bench moderation: two servers (%s: A, %s: B) on one PostgreSQL database, each reading its\n"
      "  moderation state every second\n",
      kServers[0], kServers[1]);
  std::printf(
      "  (1: lobby chat round trips of %zu probes, a line every %lld ms, on A with %zu users behaving as "
      "the\n"
      "  client does, by turns: a: no moderation; b: %zu moderators on A typing a line every %lld ms "
      "between\n"
      "  them, every 2 s: /who x5, /ban x4 and /unban x4 of addresses nobody uses, /mute x2 (1 minute),\n"
      "  /kick x2 of %zu guests that come back, /bans x2, /announce x1; c: %zu moderators on\n"
      "  B as fast, /ban and /unban by turns of addresses nobody uses. 2: a moderator on A bans the user of\n"
      "  a login logged in at A too, timed from its G_CHAT to the S_BYE at B, and to a fresh G_LOGIN of it\n"
      "  at B, sent then, refused; %zu samples)\n",
      settings.probes, static_cast<long long>(settings.chatEvery.count()), settings.users,
      settings.moderators, static_cast<long long>(settings.every.count()), settings.guests,
      settings.moderators, settings.samples);
  testing::PgCluster cluster;
  if (!cluster.failure().empty()) {
    std::printf("server_bench moderation: no PostgreSQL: %s\n", cluster.failure().c_str());
    return;
  }
  const std::string uri = cluster.Uri("gorvane_moderation_" + std::to_string(::getpid()));
  if (!Fill(uri, settings)) return;
  const auto start = Clock::now();
  const gorvane::CardCatalogue cards = Cards();
  ServerThread a(PairedOptions(kServers[0], 1, uri));
  ServerThread b(PairedOptions(kServers[1], 2, uri));
  Crowd crowd(kServers[0], a.port(), cards, {});
  crowd.Begin(true);
  const size_t crowdSize = settings.users - std::min(settings.users, settings.probes + settings.guests);
  crowd.GrowTo(crowdSize);
  Probes probes(kServers[0], a.port(), settings.probes, settings.chatEvery);
  probes.Begin(false);
  Moderators onA(Team(0, a, settings, settings.guests, MixScript(settings.guests, kUnusedGroup[0])));
  Moderators onB(Team(1, b, settings, 0, BanScript(kUnusedGroup[1])));
  onA.Begin(true);
  onB.Begin(true);
  Wait([&] { return crowd.joined() + 16 >= crowdSize; }, std::chrono::seconds(60 + crowdSize / 15));
  crowd.Behave(true, true);
  Wait([&] { return probes.ready() && onA.ready() && onB.ready(); }, 60s);
  std::printf("    (%zu users joined, moderators ready: %s, in %.0f s)\n", crowd.joined(),
              onA.ready() && onB.ready() ? "yes" : "no", Seconds(Clock::now() - start));
  MeasureLoop(a, probes, onA, onB, settings);
  MeasureWay(a, b, settings);
  std::printf("    (%.0f s)\n", Seconds(Clock::now() - start));
}

}  // namespace gorvane::bench
