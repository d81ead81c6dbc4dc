// SPDX-License-Identifier: GPL-3.0-or-later
// attacks: each attack at full speed from one address, and what it does to
// well-behaved users elsewhere (their lobby chat round trip, a newcomer's
// way in) against the same users on an idle server; then a rotation of
// addresses at one login, and two on the HTTP side, each beside the same
// users, with what it got from the side.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server_bench.h"
#include "sim/http.h"
#include "sim/users.h"

namespace gorvane::bench {

using namespace std::chrono_literals;

namespace {

// An attack on the HTTP side: started, forgotten up to the measured window,
// said after its row, ended.
struct HttpAttack {
  std::function<void()> begin;
  std::function<void()> take;
  std::function<std::string()> report;
  std::function<void()> end;
};

std::string Ms(const HttpTally& tally) {
  const Percentiles ms = Summarize(tally.ms);
  char text[200];
  std::snprintf(text, sizeof text,
                "p50 %.1f ms, p99 %.1f ms (%llu ok, %llu busy, %llu other, %llu unanswered)", ms.median,
                ms.p99, static_cast<unsigned long long>(tally.ok),
                static_cast<unsigned long long>(tally.busy), static_cast<unsigned long long>(tally.other),
                static_cast<unsigned long long>(tally.none));
  return text;
}

double PerAnswer(const HttpTally& tally) {
  const uint64_t answers = tally.ok + tally.busy + tally.other;
  return answers == 0 ? 0 : static_cast<double>(tally.bytes) / static_cast<double>(answers);
}

// Three clients asking for the status page in thousands of ranges (2,690 in
// 8,130 bytes) as fast as they are answered, beside a visitor asking for it
// plainly twice a second: bytes per answer of each.
HttpAttack Ranges(uint16_t port) {
  auto state = std::make_shared<std::vector<std::unique_ptr<Asker>>>();
  std::string range = "Range: bytes=0-";
  while (range.size() + 3 < 8130) range += ",0-";
  range += "\r\n";
  return {[state, port, range] {
            for (int i = 0; i < 3; ++i) {
              state->push_back(std::make_unique<Asker>("127.0.0.160", kDefendedAddress, port,
                                                       std::vector<std::string>{"/"}, 0ms, range));
            }
            state->push_back(std::make_unique<Asker>("127.0.0.161", kDefendedAddress, port,
                                                     std::vector<std::string>{"/"}, 500ms));
            for (auto& asker : *state) asker->Begin(true);
          },
          [state] {
            for (auto& asker : *state) asker->Take();
          },
          [state] {
            HttpTally ranged;
            for (size_t i = 0; i + 1 < state->size(); ++i) {
              const HttpTally one = (*state)[i]->Take();
              ranged.ok += one.ok;
              ranged.busy += one.busy;
              ranged.other += one.other;
              ranged.none += one.none;
              ranged.bytes += one.bytes;
            }
            const HttpTally plain = state->back()->Take();
            const double page = PerAnswer(plain);
            const double per = PerAnswer(ranged);
            char text[300];
            std::snprintf(
                text, sizeof text,
                "ranged: %llu answers (%llu ok, %llu busy, %llu unanswered), %.0f bytes each; "
                "the plain page %.0f bytes; ranged / page %.2fx (goal <= 1x)",
                static_cast<unsigned long long>(ranged.ok + ranged.busy + ranged.other),
                static_cast<unsigned long long>(ranged.ok), static_cast<unsigned long long>(ranged.busy),
                static_cast<unsigned long long>(ranged.none), per, page, page > 0 ? per / page : 0.0);
            return std::string(text);
          },
          [state] {
            for (auto& asker : *state) asker->End();
            state->clear();
          }};
}

// Twelve addresses with 32 connections each sending a request's head a byte
// every 300 ms, opening again as soon as one is closed, beside a watchdog
// asking /healthz ten times a second and a visitor from a thirteenth
// address asking for the page twice a second.
HttpAttack Slowloris(uint16_t port) {
  struct State {
    std::optional<HttpFlood> flood;
    std::optional<Asker> watchdog;
    std::optional<Asker> visitor;
  };
  auto state = std::make_shared<State>();
  return {[state, port] {
            state->flood.emplace(kDefendedAddress, port,
                                 std::array<size_t, HttpFlood::kKinds>{0, 0, 12 * 32, 0}, 0ms, 12);
            state->watchdog.emplace("127.0.0.170", kDefendedAddress, port,
                                    std::vector<std::string>{"/healthz"}, 100ms);
            state->visitor.emplace("127.0.0.171", kDefendedAddress, port, std::vector<std::string>{"/"},
                                   500ms);
            state->flood->Begin(true);
            state->watchdog->Begin(true);
            state->visitor->Begin(true);
          },
          [state] {
            state->flood->Take();
            state->watchdog->Take();
            state->visitor->Take();
          },
          [state] {
            const HttpTally health = state->watchdog->Take();
            const HttpTally page = state->visitor->Take();
            const HttpFlood::Counts flood = state->flood->Take()[HttpFlood::kSlow];
            return "/healthz " + Ms(health) + " (goal p99 <= 100 ms)\n    / from a 13th address " + Ms(page) +
                   "\n    flood: " + std::to_string(flood.connects) + " connects, " +
                   std::to_string(flood.openMax) + " open at most, " + std::to_string(flood.busy) +
                   " answered 503";
          },
          [state] {
            state->visitor->End();
            state->watchdog->End();
            state->flood->End();
            state->flood.reset();
          }};
}

}  // namespace

void RunAttacks(const AttackSettings& settings) {
  std::printf("\nserver_bench attacks: each at full speed from one address; well-behaved users elsewhere\n");
  std::printf(
      "  (%zu users behaving as the client does, %zu of them timing their lobby lines, %.0f lines a\n"
      "  second, a newcomer joining every 500 ms; goal: p99 of the round trip at most 2x the idle "
      "server's)\n",
      settings.crowd + settings.probes, settings.probes,
      1000.0 / static_cast<double>(settings.every.count()));
  std::printf("  %-32s %8s %8s %7s %9s %9s %5s %9s %8s %9s %10s %7s %9s\n", "attack", "p50 ms", "p99 ms",
              "p99 x", "join p50", "join p99", "lost", "connects", "let in", "got MB/s", "log KB/min",
              "cpu %", "1st end s");
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
  auto phase = [&](const char* name, std::optional<Attacker::Kind> kind, HttpAttack* http = nullptr) {
    std::optional<Attacker> attacker;
    if (kind) {
      attacker.emplace(kDefendedAddress, server.port(), *kind);
      attacker->Begin(true);
    }
    if (http) http->begin();
    std::this_thread::sleep_for(settings.warm);
    if (http) http->take();
    probes.Take();
    newcomers.Take();
    const size_t lost = crowd.lost() + probes.lost();
    const uint64_t got = attacker ? attacker->bytesRead() : 0;
    const uint64_t logged = defended.logBytes.load();
    const double cpu = server.CpuSeconds();
    std::this_thread::sleep_for(settings.measure);
    const double busy = (server.CpuSeconds() - cpu) / measured * 100.0;
    const Percentiles trips = Summarize(probes.Take());
    const Percentiles joins = Summarize(newcomers.Take());
    if (!kind && idleP99 == 0) idleP99 = trips.p99;
    std::printf("  %-32s %8.2f %8.2f %6.2fx %9.2f %9.2f %5zu %9llu %8llu %9.2f %10.1f %7.1f %9.2f\n", name,
                trips.median, trips.p99, idleP99 > 0 ? trips.p99 / idleP99 : 0.0, joins.median, joins.p99,
                crowd.lost() + probes.lost() - lost,
                static_cast<unsigned long long>(attacker ? attacker->connects() : 0),
                static_cast<unsigned long long>(attacker ? attacker->admitted() : 0),
                attacker ? static_cast<double>(attacker->bytesRead() - got) / measured / 1e6 : 0.0,
                static_cast<double>(defended.logBytes.load() - logged) / 1024.0 * 60.0 / measured, busy,
                attacker ? attacker->firstEndingSeconds() : 0.0);
    if (http) {
      std::printf("    %s\n", http->report().c_str());
      http->end();
    }
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
        Attacker::Kind::kJoinChurn, Attacker::Kind::kRefused}) {
    if (settings.httpOnly) break;
    phase(Attacker::Name(kind), kind);
  }
  if (!settings.httpOnly) {
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
    std::printf("  %-32s %8.2f %8.2f %6.2fx %9.2f %9.2f %5zu %9s %8s %9s %10s %7s %9s\n",
                "rotation at a login, 20 addresses", trips.median, trips.p99,
                idleP99 > 0 ? trips.p99 / idleP99 : 0.0, joins.median, joins.p99,
                crowd.lost() + probes.lost() - lost, "-", "-", "-", "-", "-", "-");
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
  HttpAttack ranges = Ranges(server.httpPort());
  phase("HTTP: thousands of ranges", std::nullopt, &ranges);
  HttpAttack slowloris = Slowloris(server.httpPort());
  phase("HTTP: slowloris, 12 addresses", std::nullopt, &slowloris);
  phase("(idle server again)", std::nullopt);
  std::printf(
      "  (connects: connections the attacker opened, let in: those the server greeted; MB/s: what the\n"
      "  attacker was sent; lost: well-behaved users that lost their connection; join: a newcomer's connect\n"
      "  to its greeting, ms; log KB/min: what the server logged while measured, a minute's worth; cpu %%:\n"
      "  the server's loop thread while measured; 1st end s: from the attack's start to the first of its\n"
      "  connections closed or turned away, goal for floods of refused commands: within 10 s)\n");
  std::printf("server_bench attacks: readers dropped for not reading %llu, connections cut off %llu\n",
              static_cast<unsigned long long>(defended.readersDropped.load()),
              static_cast<unsigned long long>(defended.cutOff.load()));
  newcomers.End();
  probes.End();
  crowd.End();
}

}  // namespace gorvane::bench
