// SPDX-License-Identifier: GPL-3.0-or-later
// tls: what TLS on the game port costs a client before its S_CONNECT. A
// plain client of a server with TLS waits for the server to see that it
// sends no ClientHello; a TLS client pays its handshake. Both against the
// same server without TLS, measured in the same run, one connection at a
// time on loopback. Then what it costs once in the lobby: chat round trips
// over TLS against plain ones on the same server, the server's CPU per
// 1,000 messages of each, and the handshakes a second it takes while plain
// users chat.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "server/loop/tls.h"
#include "server_bench.h"
#include "sim/tls_users.h"
#include "sim/users.h"
#include "support/server/dial.h"

namespace gorvane::bench {
namespace {

constexpr const char* kAddress = "127.0.0.40";

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

// Milliseconds from the connect to the first byte of S_CONNECT read, plain.
std::optional<double> PlainGreeting(uint16_t port, const std::string& source) {
  const auto start = Clock::now();
  const int fd = gorvane::testing::DialLoopback(kAddress, port, {.source = source});
  if (fd < 0) return std::nullopt;
  timeval limit{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::array<char, 9> head{};
  const ssize_t got = ::recv(fd, head.data(), head.size(), MSG_WAITALL);
  const double ms = Seconds(Clock::now() - start) * 1000;
  ::close(fd);
  if (got != static_cast<ssize_t>(head.size()) || std::string(head.data(), head.size()) != "S_CONNECT")
    return std::nullopt;
  return ms;
}

// The same over TLS, the handshake included.
std::optional<double> TlsGreeting(SSL_CTX* context, uint16_t port, const std::string& source) {
  const auto start = Clock::now();
  const int fd = gorvane::testing::DialLoopback(kAddress, port, {.source = source});
  if (fd < 0) return std::nullopt;
  timeval limit{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  SSL* tls = SSL_new(context);
  SSL_set_fd(tls, fd);
  std::array<char, 9> head{};
  bool ok = SSL_connect(tls) == 1;
  for (size_t got = 0; ok && got < head.size();) {
    const int n = SSL_read(tls, head.data() + got, static_cast<int>(head.size() - got));
    ok = n > 0;
    if (ok) got += static_cast<size_t>(n);
  }
  const double ms = Seconds(Clock::now() - start) * 1000;
  SSL_free(tls);
  ERR_clear_error();
  ::close(fd);
  if (!ok || std::string(head.data(), head.size()) != "S_CONNECT") return std::nullopt;
  return ms;
}

struct Delays {
  std::vector<double> ms;
  int failed = 0;
};

// One connection after the other, each from the next source address so
// that no per-address bound is what is measured.
template <typename Connect>
Delays Measure(int connections, int firstSource, const Connect& connect) {
  Delays delays;
  for (int i = 0; i < connections; ++i) {
    const std::string source = "127.0.41." + std::to_string(firstSource + i % 200);
    const auto ms = connect(source);
    if (ms) {
      delays.ms.push_back(*ms);
    } else {
      ++delays.failed;
    }
  }
  return delays;
}

void Print(const char* what, const Delays& delays, double baseP50, double baseP99) {
  const double p50 = Percentile(delays.ms, 0.5);
  const double p99 = Percentile(delays.ms, 0.99);
  std::printf("  %-34s p50 %7.2f ms  p99 %7.2f ms  max %7.2f ms", what, p50, p99, Percentile(delays.ms, 1.0));
  if (baseP50 > 0) std::printf("  (x%.1f, x%.1f of no TLS)", p50 / baseP50, p99 / std::max(baseP99, 1e-9));
  if (delays.failed > 0) std::printf("  FAILED %d", delays.failed);
  std::printf("\n");
}

gorvane::server::ServerOptions Options(const std::string& database) {
  gorvane::server::ServerOptions options;
  options.listenAddress = kAddress;
  options.port = 0;
  options.databasePath = database;
  options.cardsPath = std::string(GORVANE_DATA_DIR) + "/longcardlist.txt";
  options.seed = 1;
  // Every connection leaves without joining: the log would only be noise.
  options.log = [](std::string_view) {};
  options.maxPerAddress = 1000;
  return options;
}

using namespace std::chrono_literals;

// 1: users over TLS and in plain on one server, their lines by turns; the
// round trip's p99 of each.
void MeasureChat(const ServerThread& server, ssl_ctx_st* context, const TlsSettings& settings) {
  std::vector<bool> overTls;
  for (size_t i = 0; i < 2 * settings.chatters; ++i) overTls.push_back(i % 2 == 1);
  Chatters chatters(kAddress, server.port(), context, overTls, 44, "c", settings.chatEvery);
  chatters.Begin(false);
  Wait([&] { return chatters.ready(); }, 60s);
  std::this_thread::sleep_for(settings.settle);
  chatters.Take();
  std::array<std::vector<double>, 2> samples;
  const auto deadline = Clock::now() + 300s;
  const auto enough = static_cast<size_t>(settings.lines);
  while ((samples[0].size() < enough || samples[1].size() < enough) && Clock::now() < deadline) {
    std::this_thread::sleep_for(100ms);
    auto taken = chatters.Take();
    for (size_t k = 0; k < 2; ++k) samples[k].insert(samples[k].end(), taken[k].begin(), taken[k].end());
  }
  const Percentiles plain = Summarize(samples[0]);
  const Percentiles secure = Summarize(samples[1]);
  std::printf("    lobby chat, %zu users in plain: p50 %.2f ms, p99 %.2f ms (%zu lines)\n", settings.chatters,
              plain.median, plain.p99, plain.count);
  std::printf("    lobby chat, %zu users over TLS: p50 %.2f ms, p99 %.2f ms (%zu lines)%s\n",
              settings.chatters, secure.median, secure.p99, secure.count,
              chatters.failed() + chatters.lost() > 0
                  ? ("  FAILED " + std::to_string(chatters.failed() + chatters.lost())).c_str()
                  : "");
  std::printf("\nserver_bench tls: lobby chat p99 over TLS / plain: %.2f / %.2f ms = %.2fx (goal <= 1.2x)\n",
              secure.p99, plain.p99, plain.p99 > 0 ? secure.p99 / plain.p99 : 0.0);
}

// 2: the same chat over each transport in turn, the server's CPU per 1,000
// messages from its thread's clock and counters. Each group joins, its
// lists settle, then it is measured, then it leaves.
void MeasureCpu(const ServerThread& server, ssl_ctx_st* context, const TlsSettings& settings) {
  std::array<std::vector<double>, 2> perThousand;
  for (int round = 0; round < settings.rounds; ++round) {
    for (const bool tls : {false, true}) {
      Chatters load(kAddress, server.port(), context, std::vector<bool>(settings.loadUsers, tls),
                    50 + 2 * round + (tls ? 1 : 0), tls ? "s" : "u", settings.loadEvery);
      load.Begin(false);
      Wait([&] { return load.ready(); }, 60s);
      std::this_thread::sleep_for(settings.settle);
      load.Take();
      const double cpu = server.CpuSeconds();
      const uint64_t messages = server.Messages();
      const auto start = Clock::now();
      std::this_thread::sleep_for(settings.measure);
      const double seconds = Seconds(Clock::now() - start);
      const double handled = static_cast<double>(server.Messages() - messages);
      const double cpuMs = (server.CpuSeconds() - cpu) * 1e3;
      const Percentiles trips = Summarize(load.Take()[tls ? 1 : 0]);
      const double cost = handled > 0 ? cpuMs / handled * 1000 : 0;
      perThousand[tls ? 1 : 0].push_back(cost);
      std::printf(
          "    round %d, %zu users %-9s %8.0f messages/s, %.3f ms CPU per 1,000, chat p99 %.2f ms (load "
          "%s)%s\n",
          round + 1, settings.loadUsers, tls ? "over TLS:" : "in plain:", handled / seconds, cost, trips.p99,
          LoadAverage().c_str(),
          load.failed() + load.lost() > 0
              ? ("  FAILED " + std::to_string(load.failed() + load.lost())).c_str()
              : "");
      load.End();
    }
    // The group gone, before the next joins.
    std::this_thread::sleep_for(settings.settle);
  }
  // The middle round of each: one round that met a busy machine moves it
  // less than it moves a mean.
  auto median = [](std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
  };
  const double plain = median(perThousand[0]);
  const double secure = median(perThousand[1]);
  std::printf(
      "\nserver_bench tls: server CPU per 1,000 messages over TLS / plain: %.3f / %.3f ms = %.2fx (goal <= "
      "1.3x)\n",
      secure, plain, plain > 0 ? secure / plain : 0.0);
}

// One step of new TLS connections at the rate: whether the plain users'
// chat held the goal and every connection due was made.
bool HandshakeStep(const ServerThread& server, Handshakes& handshakes, Probes& probes, double rate,
                   bool again, const TlsSettings& settings) {
  handshakes.Rate(rate);
  std::this_thread::sleep_for(settings.settle);
  handshakes.Take();
  probes.Take();
  const uint64_t failed = handshakes.failed();
  const uint64_t missed = handshakes.missed();
  const double cpu = server.CpuSeconds();
  const double clientCpu = handshakes.cpuSeconds();
  const auto start = Clock::now();
  std::this_thread::sleep_for(settings.step);
  const double seconds = Seconds(Clock::now() - start);
  const Percentiles made = Summarize(handshakes.Take());
  const Percentiles chat = Summarize(probes.Take());
  const double busy = (server.CpuSeconds() - cpu) / seconds * 100;
  const double clientBusy = (handshakes.cpuSeconds() - clientCpu) / seconds * 100;
  const uint64_t fails = handshakes.failed() - failed;
  const uint64_t unsent = handshakes.missed() - missed;
  const double done = static_cast<double>(made.count) / seconds;
  std::printf("    %7.0f %8.1f %7.1f %7.1f %7llu %7llu %8.2f %8.2f %6.0f%% %6.0f%%   (load %s)%s\n", rate,
              done, made.median, made.p99, static_cast<unsigned long long>(fails),
              static_cast<unsigned long long>(unsent), chat.median, chat.p99, busy, clientBusy,
              LoadAverage().c_str(), again ? " again" : "");
  return chat.count > 0 && chat.p99 <= settings.goalMs && fails == 0 && unsent == 0 && done >= 0.9 * rate;
}

// 3: the rate stepped up while plain probes chat; a step that breaks is
// measured once more, as the other parts do.
void MeasureHandshakes(const ServerThread& server, ssl_ctx_st* context, const TlsSettings& settings) {
  Probes probes(kAddress, server.port(), settings.probes, settings.probeEvery);
  probes.Begin(false);
  Wait([&] { return probes.ready(); }, 60s);
  Handshakes handshakes(kAddress, server.port(), context);
  // Stands for other machines: yields to the server and the probes.
  handshakes.Begin(true);
  // server and clients: the CPU of the server's thread and of the one
  // that makes the connections, each of one core.
  std::printf("    %7s %8s %7s %7s %7s %7s %8s %8s %7s %7s\n", "asked/s", "made/s", "p50 ms", "p99 ms",
              "failed", "unsent", "chat p50", "chat p99", "server", "clients");
  HandshakeStep(server, handshakes, probes, 0, false, settings);
  std::optional<size_t> held;
  for (const size_t rate : settings.rates) {
    const double perSecond = static_cast<double>(rate);
    if (!HandshakeStep(server, handshakes, probes, perSecond, false, settings) &&
        !HandshakeStep(server, handshakes, probes, perSecond, true, settings)) {
      break;
    }
    held = rate;
  }
  handshakes.Rate(0);
  handshakes.End();
  std::printf("\nserver_bench tls: held %s new TLS connections with plain lobby chat p99 <= %.0f ms%s\n",
              held ? (std::to_string(*held) + "/s").c_str() : "no step", settings.goalMs,
              probes.lost() > 0 ? ("  (" + std::to_string(probes.lost()) + " probes lost)").c_str() : "");
}

}  // namespace

void RunTls(const TlsSettings& settings) {
  std::printf(
      "tls: %d connections one at a time on loopback, connect to S_CONNECT; plain clients of a\n"
      "  server with TLS are greeted once they have sent nothing for %lld ms\n",
      settings.connections,
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(gorvane::server::ServerOptions().tlsSniffWait)
              .count()));
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("gorvane-bench-tls-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  bool made = false;
  std::string error;
  const auto files = gorvane::server::SelfSigned(folder.string(), made, error);
  if (!files) {
    std::printf("  FAILED: %s\n", error.c_str());
    return;
  }
  Delays baseline;
  {
    ServerThread plain(Options(":memory:"));
    baseline = Measure(settings.connections, 1,
                       [&](const std::string& s) { return PlainGreeting(plain.port(), s); });
  }
  const double baseP50 = Percentile(baseline.ms, 0.5);
  const double baseP99 = Percentile(baseline.ms, 0.99);
  Print("no TLS, plain client", baseline, 0, 0);
  {
    gorvane::server::ServerOptions options = Options(":memory:");
    options.tls = *files;
    ServerThread secure(options);
    Print("TLS offered, plain client",
          Measure(settings.connections, 1,
                  [&](const std::string& s) { return PlainGreeting(secure.port(), s); }),
          baseP50, baseP99);
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    for (const int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
      SSL_CTX_set_min_proto_version(context, version);
      SSL_CTX_set_max_proto_version(context, version);
      Print(version == TLS1_2_VERSION ? "TLS offered, TLS 1.2 client" : "TLS offered, TLS 1.3 client",
            Measure(settings.connections, 1,
                    [&](const std::string& s) { return TlsGreeting(context, secure.port(), s); }),
            baseP50, baseP99);
    }
    SSL_CTX_free(context);
  }
  {
    // The per-address limits as shipped: every simulated machine has an
    // address of its own.
    gorvane::server::ServerOptions options = Options(":memory:");
    options.maxPerAddress = gorvane::server::ServerOptions().maxPerAddress;
    options.tls = *files;
    ServerThread secure(options);
    const SslClientContext context = NewClientContext();
    std::printf(
        "\n  on one server with TLS: a, lobby chat of %zu users over TLS and %zu in plain, lines by turns;\n"
        "  b, the server's CPU per 1,000 messages with %zu users chatting in plain, then over TLS, by turns\n"
        "  x%d; c, new TLS connections a second (handshake, S_CONNECT, close) from %zu addresses while %zu\n"
        "  plain users chat\n",
        settings.chatters, settings.chatters, settings.loadUsers, settings.rounds, kHandshakeAddresses,
        settings.probes);
    MeasureChat(secure, context.get(), settings);
    MeasureCpu(secure, context.get(), settings);
    MeasureHandshakes(secure, context.get(), settings);
  }
  std::filesystem::remove_all(folder);
}

}  // namespace gorvane::bench
