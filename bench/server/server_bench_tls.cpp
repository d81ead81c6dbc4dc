// SPDX-License-Identifier: GPL-3.0-or-later
// tls: what TLS on the game port costs a client before its S_CONNECT. A
// plain client of a server with TLS waits for the server to see that it
// sends no ClientHello; a TLS client pays its handshake. Both against the
// same server without TLS, measured in the same run, one connection at a
// time on loopback.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "server/loop/tls.h"
#include "server_bench.h"
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
  std::filesystem::remove_all(folder);
}

}  // namespace gorvane::bench
