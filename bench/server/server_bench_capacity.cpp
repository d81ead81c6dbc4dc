// SPDX-License-Identifier: GPL-3.0-or-later
// capacity: how many users the defended server holds, step by step, while
// they behave as the client does and a few of them time their own lobby
// chat lines; where it breaks and why.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include "server_bench.h"
#include "sim_users.h"

namespace gorvane::bench {

using namespace std::chrono_literals;

void RunCapacity(const CapacitySettings& settings) {
  std::printf("\nserver_bench capacity: lobby chat round trip while the users behave as the client does\n");
  std::printf(
      "  (%zu of the users time their own lobby line in turn, 5 lines a second; a tenth play in parties\n"
      "  of three; 1%% of the others leave and as many arrive every minute; goal p99 <= 100 ms)\n",
      settings.probes);
  std::printf("  %6s %9s %9s %8s %9s %10s %9s %7s %6s %5s\n", "users", "p50 ms", "p99 ms", "srv CPU",
              "srv MB/s", "lists/s", "read/ask", "left", "games", "lost");
  const gorvane::CardCatalogue cards = Cards();
  DefendedServer defended(100000);
  ServerThread& server = *defended.server;
  Crowd crowd(kDefendedAddress, server.port(), cards, {});
  crowd.Begin(true);
  Probes probes(kDefendedAddress, server.port(), settings.probes, 200ms);
  probes.Begin(false);
  Wait([&] { return probes.ready(); }, 30s);
  std::optional<size_t> held;
  for (const size_t users : settings.steps) {
    // The crowd arrives quietly; then everybody behaves as the client does.
    crowd.Behave(false, false);
    const size_t crowdSize = users - settings.probes;
    crowd.GrowTo(crowdSize);
    Wait([&] { return crowd.joined() + 16 >= crowdSize; }, 300s);
    crowd.Behave(true, true);
    std::this_thread::sleep_for(std::chrono::seconds(settings.warmSeconds));
    probes.Take();
    const double cpu = server.CpuSeconds();
    const uint64_t bytes = server.BytesOut();
    const uint64_t asked = crowd.listsAsked();
    const uint64_t read = crowd.listsRead();
    const uint64_t left = crowd.departures();
    const uint64_t games = crowd.games();
    const size_t lost = crowd.lost() + probes.lost();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(settings.measureSeconds));
    const double seconds = Seconds(Clock::now() - start);
    const Percentiles trips = Summarize(probes.Take());
    const double askedPerSecond = static_cast<double>(crowd.listsAsked() - asked) / seconds;
    const double readShare = static_cast<double>(crowd.listsRead() - read) /
                             std::max(1.0, static_cast<double>(crowd.listsAsked() - asked));
    std::printf("  %6zu %9.1f %9.1f %7.0f%% %9.1f %10.0f %8.2f %7llu %6llu %5zu   (load %s)\n",
                crowd.joined() + settings.probes, trips.median, trips.p99,
                100 * (server.CpuSeconds() - cpu) / seconds,
                static_cast<double>(server.BytesOut() - bytes) / seconds / 1e6, askedPerSecond, readShare,
                static_cast<unsigned long long>(crowd.departures() - left),
                static_cast<unsigned long long>(crowd.games() - games), crowd.lost() + probes.lost() - lost,
                LoadAverage().c_str());
    std::fflush(stdout);
    if (trips.p99 > 100.0) {
      std::printf("server_bench capacity: breaks at %zu users (p99 %.1f ms > 100 ms); held %s\n", users,
                  trips.p99, held ? std::to_string(*held).c_str() : "no step");
      break;
    }
    held = users;
  }
  if (held && *held == settings.steps.back()) {
    std::printf("server_bench capacity: held every step up to %zu users\n", *held);
  }
  std::printf("server_bench capacity: readers dropped for not reading: %llu\n",
              static_cast<unsigned long long>(defended.readersDropped.load()));
  probes.End();
  crowd.End();
}

}  // namespace gorvane::bench
