// SPDX-License-Identifier: GPL-3.0-or-later
// The game server under load, in nine parts (see server_bench.h), each
// printed as figures and ratios measured in the same run. --only games,
// capacity, attacks, http, logins, shared, balance, tls or moderation runs
// one part; --moderation-users N sets the moderation part's lobby;
// --tls-connections N sets the tls part's connections of each kind; --games N and
// --deck FILE set the balance part's games and the deck it measures; --steps and --rates set
// the capacity's users and the shared part's logins a second, by commas.
// A smoke run (smoke.h) runs every part once at the smallest sizes; the
// options given still win.
#include "server_bench.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "server/store/accounts.h"
#include "sim/users.h"
#include "smoke.h"
#include "spine/ports.h"

namespace gorvane::bench {

gorvane::CardCatalogue Cards() {
  struct Quiet : gorvane::ErrorBox, gorvane::DebugLog {
    void ShowError(std::string_view) override {}
    void AppendLine(std::string_view) override {}
  } quiet;
  gorvane::CardCatalogue cards;
  cards.LoadCardList(std::string(GORVANE_DATA_DIR) + "/longcardlist.txt", quiet, quiet);
  return cards;
}

std::string LoadAverage() {
  char text[64] = {};
  if (FILE* file = std::fopen("/proc/loadavg", "r")) {
    if (!std::fgets(text, sizeof text, file)) text[0] = 0;
    std::fclose(file);
  }
  std::string average(text);
  return average.substr(0, average.find(' '));
}

DefendedServer::DefendedServer(size_t maxUsers) {
  gorvane::server::ServerOptions options;
  options.listenAddress = kDefendedAddress;
  options.port = 0;
  // A file, so that an account can be there before the server starts.
  database = "/tmp/gorvane-server-bench-" + std::to_string(::getpid()) + ".db";
  {
    std::string error;
    auto accounts = gorvane::server::AccountStore::Open(database, error);
    if (accounts) accounts->SetPassword(kLogin, kPassword, error);
  }
  options.databasePath = database;
  options.cardsPath = std::string(GORVANE_DATA_DIR) + "/longcardlist.txt";
  options.maxUsers = maxUsers;
  options.seed = 1;
  // The HTTP side too, on a port of its choosing: some attacks are on it.
  options.http = gorvane::server::HttpEndpoint{kDefendedAddress, 0};
  options.log = [this](std::string_view line) {
    logBytes += line.size() + 1;
    if (line.find("stopped reading") != std::string_view::npos) ++readersDropped;
    if (line.find("cut off") != std::string_view::npos) ++cutOff;
  };
  server.emplace(options);
}

DefendedServer::~DefendedServer() {
  server.reset();
  std::remove(database.c_str());
}

gorvane::server::ServerOptions PairedOptions(const char* address, uint32_t seed, const std::string& store) {
  gorvane::server::ServerOptions options;
  options.listenAddress = address;
  options.port = 0;
  options.databasePath = store;
  options.cardsPath = std::string(GORVANE_DATA_DIR) + "/longcardlist.txt";
  options.maxUsers = 4000;
  options.seed = seed;
  options.log = [](std::string_view) {};
  return options;
}

void Wait(const std::function<bool()>& done, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

namespace {

// Every part once, briefly: a few users, one game, one small capacity step
// and a short look at each attack, the HTTP side and the shared database.
void Smoke(GamesSettings& games, CapacitySettings& capacity, AttackSettings& attacks, HttpSettings& http,
           SharedSettings& shared, LoginSettings& logins, BalanceSettings& balance, TlsSettings& tls,
           ModerationSettings& moderation) {
  balance.games = 6;
  using namespace std::chrono_literals;
  // Each user well within the chat limit over the short while it chats.
  tls = {.connections = 10,
         .chatters = 2,
         .lines = 4,
         .chatEvery = 50ms,
         .loadUsers = 4,
         .loadEvery = 50ms,
         .rounds = 1,
         .measure = 300ms,
         .rates = {20},
         .step = 500ms,
         .settle = 200ms,
         .probes = 3,
         .probeEvery = 400ms};
  games = {.samples = 20, .spacingMs = 1, .players = 8, .parties = 1, .chatEverySeconds = 1, .thinkMs = 20};
  capacity = {.steps = {12},
              .warmSeconds = 1,
              .measureSeconds = 2,
              .probes = 4,
              .arrivalEvery = 3s,
              .arrivalsStopBeforeEnd = 1s};
  // Each probe still sends a line every 1.5 s, within the chat limit.
  attacks = {.crowd = 8,
             .probes = 6,
             .every = 250ms,
             .warm = 100ms,
             .measure = 400ms,
             .settle = 100ms,
             .rotation = 4000ms};
  http = {.rounds = 1,
          .samples = 10,
          .held = 4,
          .huge = 1,
          .slow = 1,
          .fast = 1,
          .alone = 300ms,
          .slowAlone = 300ms,
          .settle = 200ms,
          .games = games};
  logins = {.hashes = 2,
            .rates = {5},
            .rateSeconds = 1,
            .pool = 10,
            .accounts = 21,
            .probes = 4,
            .chatEvery = 300ms,
            .chatSeconds = 1,
            .settle = 200ms};
  // Each probe a line every 1.2 s.
  shared = {.rates = {5},
            .rateSeconds = 1,
            .poolPerServer = 10,
            .accounts = 21,
            .players = 3,
            .thinkMs = 1,
            .probes = 4,
            .chatEvery = 300ms,
            .chatSeconds = 1,
            .settle = 200ms,
            .lookFor = 1s,
            .gamesWithin = 10s};
  // Each probe a line every 1.2 s, each moderator too.
  moderation = {.users = 12,
                .probes = 3,
                .chatEvery = 400ms,
                .moderators = 2,
                .every = 600ms,
                .guests = 2,
                .rounds = 1,
                .settle = 200ms,
                .measure = 1000ms,
                .samples = 2};
}

}  // namespace

}  // namespace gorvane::bench

namespace {

// A socket for each simulated user, and the server's socket for it too.
void RaiseFileLimit(rlim_t need) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur >= need) return;
  limit.rlim_cur = std::min(need, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
}

std::vector<size_t> Steps(const std::string& text) {
  std::vector<size_t> steps;
  for (size_t start = 0; start < text.size();) {
    const size_t comma = text.find(',', start);
    steps.push_back(std::stoul(text.substr(start, comma - start)));
    start = comma == std::string::npos ? text.size() : comma + 1;
  }
  return steps;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace gorvane::bench;
  GamesSettings games;
  CapacitySettings capacity;
  AttackSettings attacks;
  HttpSettings http;
  SharedSettings shared;
  LoginSettings logins;
  BalanceSettings balance;
  TlsSettings tls;
  ModerationSettings moderation;
  std::string only;
  if (SmokeRun()) Smoke(games, capacity, attacks, http, shared, logins, balance, tls, moderation);
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const std::string text = argv[i + 1];
    const double value = std::atof(text.c_str());
    if (option == "--only") only = text;
    if (option == "--samples") games.samples = static_cast<int>(value);
    if (option == "--chat-every") games.chatEverySeconds = value;
    if (option == "--think") games.thinkMs = static_cast<int>(value);
    if (option == "--spacing") games.spacingMs = value;
    if (option == "--steps") capacity.steps = Steps(text);
    if (option == "--step-seconds") capacity.measureSeconds = static_cast<int>(value);
    if (option == "--attack-seconds") attacks.measure = std::chrono::seconds(static_cast<int>(value));
    if (option == "--rotation-seconds") attacks.rotation = std::chrono::seconds(static_cast<int>(value));
    if (option == "--http-rounds") http.rounds = static_cast<int>(value);
    if (option == "--http-samples") http.samples = static_cast<int>(value);
    if (option == "--flood-reopen-ms") http.reopen = std::chrono::milliseconds(static_cast<int>(value));
    if (option == "--rates") shared.rates = Steps(text);
    if (option == "--games") balance.games = static_cast<int>(value);
    if (option == "--deck") balance.after = text;
    if (option == "--tls-connections") tls.connections = static_cast<int>(value);
    if (option == "--moderation-users") moderation.users = static_cast<size_t>(value);
  }
  const size_t most = std::max(
      {static_cast<size_t>(games.players), moderation.users,
       capacity.steps.empty() ? 0 : *std::max_element(capacity.steps.begin(), capacity.steps.end())});
  RaiseFileLimit(static_cast<rlim_t>(most) * 2 + 1024);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);
  std::printf("server_bench: %u cores, load average %s before the run\n", std::thread::hardware_concurrency(),
              LoadAverage().c_str());
  if (only.empty() || only == "games") RunGames(games);
  if (only.empty() || only == "capacity") RunCapacity(capacity);
  // attacks-http: only those on the HTTP side.
  attacks.httpOnly = only == "attacks-http";
  if (only.empty() || only.starts_with("attacks")) RunAttacks(attacks);
  // http-cost or http-flood: only that half of it.
  http.cost = only != "http-flood";
  http.flood = only != "http-cost";
  if (only.empty() || only.starts_with("http")) RunHttp(http);
  if (only.empty() || only == "logins") RunLogins(logins);
  if (only.empty() || only == "shared") RunShared(shared);
  if (only.empty() || only == "balance") RunBalance(balance);
  if (only.empty() || only == "tls") RunTls(tls);
  if (only.empty() || only == "moderation") RunModeration(moderation);
  return 0;
}
