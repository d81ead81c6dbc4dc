// SPDX-License-Identifier: GPL-3.0-or-later
// http: what the HTTP side costs the game loop under the games part's load.
// First the loop's CPU per 1,000 messages without and with it, by turns,
// with a scraper taking /metrics and a visitor the status page once a
// second each; then the lobby chat round trip while the HTTP port is
// flooded from eight addresses, against the same server while it is not.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "games_load.h"
#include "server_bench.h"
#include "sim/http.h"

namespace gorvane::bench {
namespace {

using namespace std::chrono_literals;

constexpr const char* kScraperAddress = "127.0.0.148";
constexpr const char* kWatchdogAddress = "127.0.0.149";
// The HTTP side's threads run at this nice value; so do the login checks,
// which have nothing to do here (nobody logs in).
constexpr int kHttpNice = 10;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n == 0 ? 0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string Answers(const HttpTally& tally) {
  const Percentiles ms = Summarize(tally.ms);
  char text[160];
  std::snprintf(text, sizeof text,
                "%llu ok, %llu busy (503), %llu other, %llu unanswered; median %.1f ms, worst %.1f ms",
                static_cast<unsigned long long>(tally.ok), static_cast<unsigned long long>(tally.busy),
                static_cast<unsigned long long>(tally.other), static_cast<unsigned long long>(tally.none),
                ms.median, tally.ms.empty() ? 0.0 : *std::max_element(tally.ms.begin(), tally.ms.end()));
  return text;
}

// A database file of this run's own, gone before and after.
struct DatabaseFile {
  DatabaseFile() { Remove(); }
  ~DatabaseFile() { Remove(); }
  DatabaseFile(const DatabaseFile&) = delete;
  DatabaseFile& operator=(const DatabaseFile&) = delete;
  void Remove() const {
    for (const char* end : {"", "-wal", "-shm", "-journal"}) std::remove((path + end).c_str());
  }
  const std::string path = "/tmp/gorvane-server-bench-http-" + std::to_string(::getpid()) + ".db";
};

// The games part's server with its load and measuring client, on a fresh
// database file (the status page ranks what is in it), the HTTP side on a
// port of its choosing when asked for.
class Setup {
 public:
  Setup(const GamesSettings& games, const gorvane::CardCatalogue& cards, bool http)
      : server_(Options(games, http)), prober_(server_.port()), load_(server_.port(), cards, games) {
    Wait([&] { return load_.ready(); }, 60s);
    std::this_thread::sleep_for(1s);
  }
  ServerThread& server() { return server_; }
  Prober& prober() { return prober_; }
  const Load& load() const { return load_; }

 private:
  gorvane::server::ServerOptions Options(const GamesSettings& games, bool http) const {
    gorvane::server::ServerOptions options = GamesOptions(games);
    options.databasePath = database_.path;
    if (http) options.http = gorvane::server::HttpEndpoint{kGamesAddress, 0};
    return options;
  }

  // Destroyed in the reverse order: the players leave before the server
  // stops, and the file goes once the server has closed it.
  DatabaseFile database_;
  ServerThread server_;
  Prober prober_;
  Load load_;
};

void LoopCost(const HttpSettings& settings, const GamesSettings& games, const gorvane::CardCatalogue& cards) {
  std::printf(
      "server_bench http: the loop's CPU per 1,000 messages without and with the HTTP side, by turns\n"
      "  (with it, /metrics and the status page are each fetched once a second)\n");
  std::vector<double> without;
  std::vector<double> with;
  for (int round = 1; round <= settings.rounds; ++round) {
    for (const bool http : {false, true}) {
      Setup setup(games, cards, http);
      std::optional<Asker> scraper;
      if (http) {
        scraper.emplace(kScraperAddress, kGamesAddress, setup.server().httpPort(),
                        std::vector<std::string>{"/metrics", "/"}, 1s);
        scraper->Begin(false);
      }
      const double httpCpu = CpuSecondsAtNice(kHttpNice);
      const Measured measured = Probe(setup.server(), setup.prober(), games);
      const double httpCpuMs = (CpuSecondsAtNice(kHttpNice) - httpCpu) * 1e3;
      (http ? with : without).push_back(measured.cpuPerThousand);
      std::printf(
          "  round %d, %-12s %.3f ms per 1,000 messages, %.0f messages/s, lobby chat p99 %.1f us, load %s\n",
          round, http ? "with HTTP:" : "without:", measured.cpuPerThousand, measured.messagesPerSecond,
          measured.lobby.p99, LoadAverage().c_str());
      if (scraper) {
        scraper->End();
        std::printf("    HTTP side's own threads: %.0f ms CPU in %.1f s; fetches: %s\n", httpCpuMs,
                    measured.seconds, Answers(scraper->Take()).c_str());
      }
    }
  }
  if (with.empty()) return;
  const double ratio = Median(with) / Median(without);
  std::printf(
      "server_bench http: loop CPU per 1,000 messages, medians: without %.3f ms, with %.3f ms;\n"
      "  with / without %.3fx (goal <= 1.05x)\n",
      Median(without), Median(with), ratio);
}

// What the flood got, from its side: connections it tried and those whose
// handshake was done (one begun before the window can be done in it), how
// many were open at once, the answers by status, the connections that ended
// unanswered, and how long one lasted.
void PrintFloodHeader() {
  std::printf("    %-22s %9s %9s %8s %8s %8s %8s %8s %9s %8s\n", "flood", "connects", "connected", "open max",
              "open avg", "200", "503", "4xx", "no answer", "life ms");
}

void PrintFloodRow(HttpFlood::Kind kind, const HttpFlood::Counts& c) {
  std::printf("    %-22s %9llu %9llu %8llu %8.0f %8llu %8llu %8llu %9llu %8.0f\n", HttpFlood::Name(kind),
              static_cast<unsigned long long>(c.connects), static_cast<unsigned long long>(c.connected),
              static_cast<unsigned long long>(c.openMax), c.openMean, static_cast<unsigned long long>(c.ok),
              static_cast<unsigned long long>(c.busy), static_cast<unsigned long long>(c.refused),
              static_cast<unsigned long long>(c.none), c.lifeMs);
}

void PrintFlood(const std::array<HttpFlood::Counts, HttpFlood::kKinds>& counts, double seconds) {
  PrintFloodHeader();
  uint64_t connects = 0;
  uint64_t answered = 0;
  for (size_t kind = 0; kind < HttpFlood::kKinds; ++kind) {
    const HttpFlood::Counts& c = counts[kind];
    PrintFloodRow(static_cast<HttpFlood::Kind>(kind), c);
    connects += c.connects;
    answered += c.ok + c.busy + c.refused;
  }
  std::printf("    flood: %.0f connections/s tried, %.0f answers/s\n",
              static_cast<double>(connects) / seconds, static_cast<double>(answered) / seconds);
}

// Each part of the flood on its own for a few seconds, what the side makes
// of it when the others do not fill its queue first.
void EachAlone(const HttpSettings& settings, uint16_t port, Asker& watchdog) {
  std::printf("  each part of the flood alone for a few seconds first:\n");
  PrintFloodHeader();
  const std::array<size_t, HttpFlood::kKinds> all{settings.held, settings.huge, settings.slow, settings.fast};
  for (size_t kind = 0; kind < HttpFlood::kKinds; ++kind) {
    std::array<size_t, HttpFlood::kKinds> connections{};
    connections[kind] = all[kind];
    HttpFlood flood(kGamesAddress, port, connections, settings.reopen);
    watchdog.Take();
    const double httpCpu = CpuSecondsAtNice(kHttpNice);
    flood.Begin(true);
    std::this_thread::sleep_for(kind == HttpFlood::kSlow ? settings.slowAlone : settings.alone);
    flood.End();
    PrintFloodRow(static_cast<HttpFlood::Kind>(kind), flood.Take()[kind]);
    std::printf("      HTTP side's own threads %.0f ms CPU; /healthz meanwhile: %s\n",
                (CpuSecondsAtNice(kHttpNice) - httpCpu) * 1e3, Answers(watchdog.Take()).c_str());
  }
  // What the flood left behind goes.
  std::this_thread::sleep_for(settings.settle);
}

void Flood(const HttpSettings& settings, const GamesSettings& games, const gorvane::CardCatalogue& cards) {
  std::printf(
      "\nserver_bench http: lobby chat round trip while the HTTP port is flooded, against the same server "
      "not\n  (flood from 127.0.0.150-157: %zu silent connections held open, %zu sending 64 KiB of headers, "
      "%zu a byte\n  every 300 ms, %zu asking for / and /metrics as fast as answered; /metrics and / fetched "
      "once a second,\n  /healthz four times a second throughout; a flood connection that ends opens again "
      "%lld ms later)\n",
      settings.held, settings.huge, settings.slow, settings.fast,
      static_cast<long long>(settings.reopen.count()));
  Setup setup(games, cards, true);
  // Every player greeted first, so that each window meets the same load.
  Wait([&] { return setup.load().joined() + 1 >= static_cast<size_t>(games.players); }, 60s);
  const uint16_t port = setup.server().httpPort();
  Asker scraper(kScraperAddress, kGamesAddress, port, {"/metrics", "/"}, 1s);
  Asker watchdog(kWatchdogAddress, kGamesAddress, port, {"/healthz"}, 250ms);
  scraper.Begin(false);
  watchdog.Begin(false);
  EachAlone(settings, port, watchdog);
  std::vector<double> idle;
  std::vector<double> flooded;
  for (int round = 1; round <= settings.rounds; ++round) {
    for (const bool flood : {false, true}) {
      std::optional<HttpFlood> flooder;
      if (flood) {
        flooder.emplace(kGamesAddress, port,
                        std::array{settings.held, settings.huge, settings.slow, settings.fast},
                        settings.reopen);
        flooder->Begin(true);
        std::this_thread::sleep_for(settings.settle);
        flooder->Take();
      }
      scraper.Take();
      watchdog.Take();
      const uint64_t dropped = PacketsDropped();
      const double httpCpu = CpuSecondsAtNice(kHttpNice);
      const Measured measured = Probe(setup.server(), setup.prober(), games);
      const double httpCpuMs = (CpuSecondsAtNice(kHttpNice) - httpCpu) * 1e3;
      std::vector<double>& pool = flood ? flooded : idle;
      pool.insert(pool.end(), measured.lobbyTrips.begin(), measured.lobbyTrips.end());
      std::printf(
          "  round %d, %-10s lobby chat median %.1f us, p99 %.1f us; %.0f messages/s, loop %.3f ms per "
          "1,000; "
          "load %s\n",
          round, flood ? "flooded:" : "idle:", measured.lobby.median, measured.lobby.p99,
          measured.messagesPerSecond, measured.cpuPerThousand, LoadAverage().c_str());
      std::printf("    HTTP side's own threads: %.0f ms CPU in %.1f s; packets the kernel dropped: %llu\n",
                  httpCpuMs, measured.seconds, static_cast<unsigned long long>(PacketsDropped() - dropped));
      std::printf("    /healthz: %s\n", Answers(watchdog.Take()).c_str());
      std::printf("    /metrics and /: %s\n", Answers(scraper.Take()).c_str());
      if (flooder) {
        PrintFlood(flooder->Take(), measured.seconds);
        flooder->End();
        flooder.reset();
        // What the flood left behind (connections the side still reads) goes.
        std::this_thread::sleep_for(settings.settle);
      }
    }
  }
  watchdog.End();
  scraper.End();
  if (flooded.empty()) return;
  const Percentiles quiet = Summarize(idle);
  const Percentiles loud = Summarize(flooded);
  std::printf(
      "server_bench http: lobby chat p99 over all rounds' lines: idle %.1f us (%zu lines), flooded %.1f us "
      "(%zu lines); flooded / idle %.2fx (goal <= 1.2x)\n",
      quiet.p99, quiet.count, loud.p99, loud.count, loud.p99 / quiet.p99);
}

}  // namespace

void RunHttp(const HttpSettings& settings) {
  std::printf("\n");
  GamesSettings games = settings.games;
  games.samples = settings.samples;
  const gorvane::CardCatalogue cards = Cards();
  if (settings.cost) LoopCost(settings, games, cards);
  if (settings.flood) Flood(settings, games, cards);
}

}  // namespace gorvane::bench
