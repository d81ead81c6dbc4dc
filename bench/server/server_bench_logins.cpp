// SPDX-License-Identifier: GPL-3.0-or-later
// logins: what an Argon2id check costs here against the older PBKDF2 one,
// the logins a second one server sustains with p99 at most 1 s, and the
// loop's lobby chat round trip while logins run at that rate against idle.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/store/accounts.h"
#include "server_bench.h"
#include "sim/users.h"

namespace gorvane::bench {
namespace {

using namespace std::chrono_literals;

constexpr const char* kAddress = "127.0.0.66";
constexpr const char* kBenchPassword = "bench-pw";

// Milliseconds one hash of the salt's kind takes here, over a few.
double HashMs(const server::Credentials& credentials, int times) {
  const auto start = Clock::now();
  for (int i = 0; i < times; ++i)
    server::HashPassword(kBenchPassword, credentials.salt, credentials.iterations);
  return Seconds(Clock::now() - start) * 1000 / times;
}

// The accounts, all with one hash made the way a new account's is.
bool Fill(const std::string& path, const server::Credentials& credentials, size_t count) {
  std::vector<server::Account> accounts;
  for (size_t i = 0; i < count; ++i) accounts.push_back({"l" + std::to_string(i), credentials, {}});
  std::string error;
  auto store = server::AccountStore::Open(path, error);
  if (!store || !store->Import(accounts, error)) {
    std::printf("server_bench logins: cannot fill %s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  return store->Close();
}

std::vector<std::string> Logins(size_t count) {
  std::vector<std::string> logins;
  for (size_t i = 0; i < count; ++i) logins.push_back("l" + std::to_string(i));
  return logins;
}

// One step: the login times at the rate, and whether it held the goal.
bool Step(LoginPool& pool, double rate, bool again, const LoginSettings& settings) {
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
  std::printf("    %9.0f %9.1f %8.1f %8.1f %7lld %12llu   (load %s)%s\n", rate,
              static_cast<double>(samples.size()) / seconds, times.median, times.p99,
              static_cast<long long>(failed), static_cast<unsigned long long>(unsent), LoadAverage().c_str(),
              again ? " again" : "");
  // Let the queue the step left drain before the next is measured.
  std::this_thread::sleep_for(settings.settle);
  pool.Take();
  return unsent == 0 && times.count > 0 && failed == 0 && times.p99 <= settings.goalMs;
}

// The lobby chat round trips over a while, with logins at the rate.
Percentiles Chat(LoginPool& pool, Probes& probes, double rate, const LoginSettings& settings) {
  pool.Rate(rate);
  std::this_thread::sleep_for(settings.settle);
  probes.Take();
  pool.Take();
  std::this_thread::sleep_for(std::chrono::seconds(settings.chatSeconds));
  const Percentiles trips = Summarize(probes.Take());
  const Percentiles logins = Summarize(pool.Take());
  pool.Rate(0);
  std::printf("    lobby chat with %.0f logins/s: p50 %.2f ms, p99 %.2f ms (%zu lines; logins p99 %.0f ms)\n",
              rate, trips.median, trips.p99, trips.count, logins.p99);
  std::this_thread::sleep_for(settings.settle);
  pool.Take();
  return trips;
}

}  // namespace

void RunLogins(const LoginSettings& settings) {
  std::printf(
      "\nserver_bench logins: one server on %s, an SQLite file of %zu accounts hashed with Argon2id\n"
      "  (a: one hash of each kind here; b: logins from a pool of %zu joined users, the rate stepped up\n"
      "  until p99 of G_LOGIN to its answer passes %.0f ms twice running, a refusal or no answer in 5 s\n"
      "  failed; c: lobby chat round trips of %zu users, idle and with logins at the rate b held)\n",
      kAddress, settings.accounts, settings.pool, settings.goalMs, settings.probes);
  server::Credentials argon{server::NewSalt(), {}, static_cast<int>(server::kArgonPasses)};
  argon.hash = server::HashPassword(kBenchPassword, argon.salt, argon.iterations);
  const server::Credentials pbkdf2{std::string(server::kSaltBytes, 's'), {}, server::kPasswordIterations};
  const double argonMs = HashMs(argon, settings.hashes);
  const double pbkdf2Ms = HashMs(pbkdf2, settings.hashes);
  std::printf(
      "    one check: Argon2id (%u KiB, %u passes) %.1f ms, PBKDF2 (%d iterations) %.1f ms = %.1fx;\n"
      "    one worker hashes one at a time: at most %.0f checks/s (%u cores here)\n",
      server::kArgonKiB, server::kArgonPasses, argonMs, server::kPasswordIterations, pbkdf2Ms,
      pbkdf2Ms > 0 ? argonMs / pbkdf2Ms : 0.0, argonMs > 0 ? 1000 / argonMs : 0.0,
      std::thread::hardware_concurrency());

  const std::string file = "/tmp/gorvane-logins-" + std::to_string(::getpid()) + ".db";
  if (!Fill(file, argon, settings.accounts)) return;
  {
    server::ServerOptions options;
    options.listenAddress = kAddress;
    options.port = 0;
    options.databasePath = file;
    options.cardsPath = std::string(GORVANE_DATA_DIR) + "/longcardlist.txt";
    options.maxUsers = 4000;
    options.log = [](std::string_view) {};
    ServerThread server(options);
    LoginPool pool({{kAddress, server.port()}}, settings.pool, Logins(settings.accounts), kBenchPassword, 0,
                   {});
    Probes probes(kAddress, server.port(), settings.probes, settings.chatEvery);
    pool.Begin(false);
    probes.Begin(false);
    Wait([&] { return pool.ready() && probes.ready(); }, 120s);

    std::printf("    %9s %9s %8s %8s %7s %12s\n", "logins/s", "answers/s", "p50 ms", "p99 ms", "failed",
                "no free user");
    std::optional<double> held;
    for (const size_t rate : settings.rates) {
      const double perSecond = static_cast<double>(rate);
      if (!Step(pool, perSecond, false, settings) && !Step(pool, perSecond, true, settings)) break;
      held = perSecond;
    }
    const Percentiles idle = Chat(pool, probes, 0, settings);
    const Percentiles busy = Chat(pool, probes, held.value_or(0), settings);
    std::printf("\nserver_bench logins: held %s with p99 <= %.0f ms; one Argon2id check %.1f ms\n",
                held ? (std::to_string(static_cast<int>(*held)) + "/s").c_str() : "no step", settings.goalMs,
                argonMs);
    std::printf(
        "server_bench logins: lobby chat p99 at that rate / idle: %.2f / %.2f ms = %.2fx (goal <= 2x)\n",
        busy.p99, idle.p99, idle.p99 > 0 ? busy.p99 / idle.p99 : 0.0);
  }
  std::remove(file.c_str());
}

}  // namespace gorvane::bench
