// SPDX-License-Identifier: GPL-3.0-or-later
// attacks: each attack at full speed from one address, and what it does to
// well-behaved users elsewhere (their lobby chat round trip, a newcomer's
// way in) against the same users on an idle server.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <thread>

#include "server_bench.h"
#include "sim/users.h"

namespace gorvane::bench {

using namespace std::chrono_literals;

void RunAttacks(const AttackSettings& settings) {
  std::printf("\nserver_bench attacks: each at full speed from one address; well-behaved users elsewhere\n");
  std::printf(
      "  (%zu users behaving as the client does, %zu of them timing their lobby lines, %.0f lines a\n"
      "  second, a newcomer joining every 500 ms; goal: p99 of the round trip at most 2x the idle "
      "server's)\n",
      settings.crowd + settings.probes, settings.probes,
      1000.0 / static_cast<double>(settings.every.count()));
  std::printf("  %-32s %8s %8s %7s %9s %9s %5s %9s %8s %9s %10s\n", "attack", "p50 ms", "p99 ms", "p99 x",
              "join p50", "join p99", "lost", "connects", "let in", "got MB/s", "log KB/min");
  const gorvane::CardCatalogue cards = Cards();
  DefendedServer defended(10000);
  ServerThread& server = *defended.server;
  CrowdSettings crowdSettings;
  crowdSettings.leavePerMinute = 0;
  Crowd crowd(kDefendedAddress, server.port(), cards, crowdSettings);
  crowd.Begin(true);
  crowd.GrowTo(settings.crowd);
  Wait([&] { return crowd.joined() >= settings.crowd; }, 60s);
  crowd.Behave(true, false);
  Probes probes(kDefendedAddress, server.port(), settings.probes, settings.every);
  probes.Begin(false);
  Wait([&] { return probes.ready(); }, 30s);
  Newcomers newcomers(kDefendedAddress, server.port(), 500ms);
  newcomers.Begin(false);

  double idleP99 = 0;
  const double measured = Seconds(settings.measure);
  auto phase = [&](const char* name, std::optional<Attacker::Kind> kind) {
    std::optional<Attacker> attacker;
    if (kind) {
      attacker.emplace(kDefendedAddress, server.port(), *kind);
      attacker->Begin(true);
    }
    std::this_thread::sleep_for(settings.warm);
    probes.Take();
    newcomers.Take();
    const size_t lost = crowd.lost() + probes.lost();
    const uint64_t got = attacker ? attacker->bytesRead() : 0;
    const uint64_t logged = defended.logBytes.load();
    std::this_thread::sleep_for(settings.measure);
    const Percentiles trips = Summarize(probes.Take());
    const Percentiles joins = Summarize(newcomers.Take());
    if (!kind && idleP99 == 0) idleP99 = trips.p99;
    std::printf("  %-32s %8.2f %8.2f %6.2fx %9.2f %9.2f %5zu %9llu %8llu %9.2f %10.1f\n", name, trips.median,
                trips.p99, idleP99 > 0 ? trips.p99 / idleP99 : 0.0, joins.median, joins.p99,
                crowd.lost() + probes.lost() - lost,
                static_cast<unsigned long long>(attacker ? attacker->connects() : 0),
                static_cast<unsigned long long>(attacker ? attacker->admitted() : 0),
                attacker ? static_cast<double>(attacker->bytesRead() - got) / measured / 1e6 : 0.0,
                static_cast<double>(defended.logBytes.load() - logged) / 1024.0 * 60.0 / measured);
    std::fflush(stdout);
    if (attacker) attacker->End();
    std::this_thread::sleep_for(settings.settle);
  };
  phase("(idle server)", std::nullopt);
  for (const auto kind :
       {Attacker::Kind::kIdleSockets, Attacker::Kind::kWrongPasswords, Attacker::Kind::kPartyCreates,
        Attacker::Kind::kRenames, Attacker::Kind::kChat, Attacker::Kind::kLongChat,
        Attacker::Kind::kSilentAsker, Attacker::Kind::kLists, Attacker::Kind::kChurn,
        Attacker::Kind::kGuessers, Attacker::Kind::kInfoAboutLoggedIn, Attacker::Kind::kLongPlays,
        Attacker::Kind::kJoinChurn}) {
    phase(Attacker::Name(kind), kind);
  }
  {
    // A rotation of addresses at one login, its owner logging in meanwhile:
    // her wait, beside what the others feel.
    LoginRotation rotation(kDefendedAddress, server.port());
    rotation.Begin(true);
    probes.Take();
    newcomers.Take();
    const size_t lost = crowd.lost() + probes.lost();
    std::this_thread::sleep_for(settings.rotation);
    const Percentiles trips = Summarize(probes.Take());
    const Percentiles joins = Summarize(newcomers.Take());
    const std::vector<double> waits = rotation.Take();
    const Percentiles owner = Summarize(waits);
    const auto refused = std::count_if(waits.begin(), waits.end(), [](double ms) { return std::isinf(ms); });
    std::printf("  %-32s %8.2f %8.2f %6.2fx %9.2f %9.2f %5zu %9s %8s %9s %10s\n",
                "rotation at a login, 20 addresses", trips.median, trips.p99,
                idleP99 > 0 ? trips.p99 / idleP99 : 0.0, joins.median, joins.p99,
                crowd.lost() + probes.lost() - lost, "-", "-", "-", "-");
    std::printf(
        "  %-32s owner's login wait: %zu logins, p50 %.0f ms, p99 %.0f ms (goal: at most 10000 ms), %lld "
        "refused;"
        " %llu guesses\n",
        "", owner.count, owner.median, owner.p99, static_cast<long long>(refused),
        static_cast<unsigned long long>(rotation.guesses()));
    std::fflush(stdout);
    rotation.End();
    std::this_thread::sleep_for(settings.settle);
  }
  phase("(idle server again)", std::nullopt);
  std::printf(
      "  (connects: connections the attacker opened, let in: those the server greeted; MB/s: what the\n"
      "  attacker was sent; lost: well-behaved users that lost their connection; join: a newcomer's connect\n"
      "  to its greeting, ms; log KB/min: what the server logged while measured, a minute's worth)\n");
  std::printf("server_bench attacks: readers dropped for not reading %llu, connections cut off %llu\n",
              static_cast<unsigned long long>(defended.readersDropped.load()),
              static_cast<unsigned long long>(defended.cutOff.load()));
  newcomers.End();
  probes.End();
  crowd.End();
}

}  // namespace gorvane::bench
