// SPDX-License-Identifier: GPL-3.0-or-later
// capacity: how many users the defended server holds, step by step, while
// they behave as the client does, a few of them time their own lobby chat
// lines and every user should see each newcomer in its user list soon;
// where it breaks and why.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include "server_bench.h"
#include "sim/users.h"

namespace gorvane::bench {

using namespace std::chrono_literals;

namespace {

// Every user should hold a user list with a newcomer in it this soon after
// the newcomer asked to join.
constexpr auto kListWithin = 2s;
constexpr double kChatGoalMs = 100.0;

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string SecondsOrNever(double ms) { return std::isinf(ms) ? "never" : Fixed(ms / 1000.0, 2); }

}  // namespace

void RunCapacity(const CapacitySettings& settings) {
  std::printf(
      "\nserver_bench capacity: lobby chat round trip and user lists while the users behave as the client "
      "does\n");
  std::printf(
      "  (%zu of the users time their own lobby line in turn, 5 lines a second; a tenth play in parties\n"
      "  of three; 1%% of the others leave and as many arrive every minute; a timed newcomer every %lld s;\n"
      "  goal: chat p99 <= %.0f ms, and p99 over (user, newcomer) of the time from the newcomer's G_JOIN\n"
      "  until the user holds an S_LIST with it <= %lld s, never seen counting as infinite)\n",
      settings.probes,
      static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(settings.arrivalEvery).count()),
      kChatGoalMs, static_cast<long long>(kListWithin.count()));
  std::printf("  %6s %9s %9s %9s %7s %8s %9s %10s %9s %7s %6s %5s\n", "users", "p50 ms", "p99 ms", "list p99",
              "unseen", "srv CPU", "srv MB/s", "lists/s", "read/ask", "left", "games", "lost");
  const gorvane::CardCatalogue cards = Cards();
  DefendedServer defended(100000);
  ServerThread& server = *defended.server;
  CrowdSettings crowdSettings;
  crowdSettings.arrivalMarker = "~a";
  Crowd crowd(kDefendedAddress, server.port(), cards, crowdSettings);
  crowd.Begin(true);
  Probes probes(kDefendedAddress, server.port(), settings.probes, 200ms);
  probes.Begin(false);
  Arrivals arrivals(kDefendedAddress, server.port(), crowdSettings.arrivalMarker);
  arrivals.Begin(false);
  Wait([&] { return probes.ready(); }, 30s);
  std::optional<size_t> held;
  for (const size_t users : settings.steps) {
    // The crowd arrives quietly; then everybody behaves as the client does.
    crowd.Behave(false, false);
    const size_t crowdSize = users - settings.probes;
    crowd.GrowTo(crowdSize);
    // The server greets 20 newcomers a second: a step started from nothing
    // takes its users' time.
    const size_t arriving = crowdSize - std::min(crowdSize, crowd.joined());
    Wait([&] { return crowd.joined() + 16 >= crowdSize; }, std::chrono::seconds(60 + arriving / 15));
    crowd.Behave(true, true);
    std::this_thread::sleep_for(std::chrono::seconds(settings.warmSeconds));
    probes.Take();
    arrivals.Take();
    const double cpu = server.CpuSeconds();
    const uint64_t bytes = server.BytesOut();
    const uint64_t asked = crowd.listsAsked();
    const uint64_t read = crowd.listsRead();
    const uint64_t left = crowd.departures();
    const uint64_t games = crowd.games();
    const size_t lost = crowd.lost() + probes.lost();
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(settings.measureSeconds);
    arrivals.Arrive(settings.arrivalEvery);
    std::this_thread::sleep_until(end - settings.arrivalsStopBeforeEnd);
    arrivals.Arrive(0ms);
    std::this_thread::sleep_until(end);
    const double seconds = Seconds(Clock::now() - start);
    const Percentiles trips = Summarize(probes.Take());
    const std::vector<double> delays = crowd.ListDelays(arrivals.Take(), kListWithin);
    arrivals.Leave();
    const Percentiles lists = Summarize(delays);
    const auto unseen = std::count_if(delays.begin(), delays.end(), [](double ms) { return std::isinf(ms); });
    const double askedPerSecond = static_cast<double>(crowd.listsAsked() - asked) / seconds;
    const double readShare = static_cast<double>(crowd.listsRead() - read) /
                             std::max(1.0, static_cast<double>(crowd.listsAsked() - asked));
    std::printf("  %6zu %9.1f %9.1f %9s %7lld %7.0f%% %9.1f %10.0f %9.2f %7llu %6llu %5zu   (load %s)\n",
                crowd.joined() + settings.probes, trips.median, trips.p99, SecondsOrNever(lists.p99).c_str(),
                static_cast<long long>(unseen), 100 * (server.CpuSeconds() - cpu) / seconds,
                static_cast<double>(server.BytesOut() - bytes) / seconds / 1e6, askedPerSecond, readShare,
                static_cast<unsigned long long>(crowd.departures() - left),
                static_cast<unsigned long long>(crowd.games() - games), crowd.lost() + probes.lost() - lost,
                LoadAverage().c_str());
    std::printf("         (user lists: %zu (user, newcomer) pairs, median %s s)\n", lists.count,
                SecondsOrNever(lists.median).c_str());
    std::fflush(stdout);
    const bool chatHeld = trips.p99 <= kChatGoalMs;
    const bool listsHeld =
        lists.count > 0 && lists.p99 <= std::chrono::duration<double, std::milli>(kListWithin).count();
    if (!chatHeld || !listsHeld) {
      std::string why;
      if (!chatHeld) why += "chat p99 " + Fixed(trips.p99, 1) + " ms > 100 ms";
      if (!listsHeld) {
        why += why.empty() ? "" : "; ";
        why += lists.count == 0 ? std::string("no newcomer measured")
                                : "user list p99 " + SecondsOrNever(lists.p99) + " s > 2 s (" +
                                      std::to_string(unseen) + " of " + std::to_string(lists.count) +
                                      " never seen; lists read per list asked " + Fixed(readShare, 2) + ")";
      }
      std::printf("server_bench capacity: breaks at %zu users (%s); held %s\n", users, why.c_str(),
                  held ? std::to_string(*held).c_str() : "no step");
      break;
    }
    held = users;
  }
  if (held && *held == settings.steps.back()) {
    std::printf("server_bench capacity: held every step up to %zu users\n", *held);
  }
  std::printf("server_bench capacity: readers dropped for not reading: %llu\n",
              static_cast<unsigned long long>(defended.readersDropped.load()));
  arrivals.End();
  probes.End();
  crowd.End();
}

}  // namespace gorvane::bench
