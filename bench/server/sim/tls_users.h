// SPDX-License-Identifier: GPL-3.0-or-later
// Simulated users of a server with TLS on its game port: lobby chatters
// each over TLS or in plain, timing their own lines, and a stream of new
// TLS connections that only shake hands and read their S_CONNECT. OpenSSL's
// headers stay in the .cpp files, as in the server.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/connection.h"

struct ssl_st;
struct ssl_ctx_st;

namespace gorvane::bench {

struct SslFree {
  void operator()(ssl_st* tls) const;
};
struct SslContextFree {
  void operator()(ssl_ctx_st* context) const;
};
using SslSession = std::unique_ptr<ssl_st, SslFree>;
using SslClientContext = std::unique_ptr<ssl_ctx_st, SslContextFree>;

// A client context as the bench's TLS clients use it (the certificate is
// not checked: what is measured is the server's work, not trust), writes
// allowed to go out in parts, as a non-blocking socket takes them.
SslClientContext NewClientContext();

// Users in the lobby, each over TLS or not, that time their own chat
// lines: one line at a time, from the next user in turn, `every` after the
// last one's echo. Round trips are kept apart by transport.
class Chatters : public Worker {
 public:
  // Each user i from SourceAddress(group, i), named prefix and i.
  Chatters(std::string server, uint16_t port, ssl_ctx_st* context, std::vector<bool> overTls, int group,
           std::string prefix, std::chrono::milliseconds every);
  ~Chatters() override;
  bool ready() const { return ready_; }
  size_t lost() const { return lost_; }
  // Users that could not connect or shake hands.
  size_t failed() const { return failed_; }
  // The round trips in ms since the last call: [0] plain, [1] TLS.
  std::array<std::vector<double>, 2> Take();

 private:
  // A TLS user's SimClient holds no descriptor, so that what it queues
  // (AnswerLikeTheClient's lists among it) waits in pending for Flush to
  // write through the session.
  struct User {
    SimClient client;
    int fd = -1;
    SslSession tls;
  };
  void Step() override;
  void Read(size_t index);
  void Handle(size_t index, std::string_view message);
  void Flush(User& user);
  void Lose(User& user);

  std::string server_;
  uint16_t port_;
  std::string prefix_;
  std::chrono::milliseconds every_;
  int epoll_ = -1;
  std::vector<User> users_;
  size_t next_ = 0;
  std::optional<size_t> waiting_;
  std::string line_;
  Clock::time_point sentAt_{};
  Clock::time_point nextLine_{};
  uint64_t sequence_ = 0;
  std::mutex mutex_;
  std::array<std::vector<double>, 2> samples_;
  std::atomic<bool> ready_{false};
  std::atomic<size_t> lost_{0};
  std::atomic<size_t> failed_{0};
};

// Spread so that no address holds more than one or two of the handshakes
// under way at a time, far within the server's connections per address.
inline constexpr size_t kHandshakeAddresses = 500;

// New TLS connections at a given rate, many at once, each from the next of
// a few hundred addresses: connect, handshake, read S_CONNECT, close.
class Handshakes : public Worker {
 public:
  Handshakes(std::string server, uint16_t port, ssl_ctx_st* context);
  ~Handshakes() override;
  // From any thread: connections a second from now on; zero: none.
  void Rate(double perSecond) { rate_ = perSecond; }
  // Connect to S_CONNECT in ms since the last call, each finished one.
  std::vector<double> Take();
  // Connections that failed (refused, cut, no S_CONNECT within 5 s) and
  // those due when too many were under way already.
  uint64_t failed() const { return failed_; }
  uint64_t missed() const { return missed_; }
  // The CPU its own thread has used: whether the server or these clients
  // set the rate a step reaches.
  double cpuSeconds() const { return static_cast<double>(cpuNs_.load()) * 1e-9; }

 private:
  struct Attempt {
    int fd = -1;
    SslSession tls;
    bool connected = false;
    std::string read;
    Clock::time_point began{};
  };
  void Step() override;
  void Open(Clock::time_point now);
  // Opens the connections due by now at the rate.
  void Due(Clock::time_point now, double rate);
  // One more step of the attempt; true when it is over.
  bool Advance(Attempt& attempt);
  void Finish(size_t slot, bool ok);

  std::string server_;
  uint16_t port_;
  ssl_ctx_st* context_;
  int epoll_ = -1;
  std::vector<Attempt> slots_;
  std::vector<size_t> free_;
  size_t nextAddress_ = 0;
  double lastRate_ = 0;
  Clock::time_point due_{};
  std::atomic<double> rate_{0};
  std::atomic<uint64_t> failed_{0};
  std::atomic<uint64_t> missed_{0};
  std::atomic<int64_t> cpuNs_{0};
  std::mutex mutex_;
  std::vector<double> samples_;
};

}  // namespace gorvane::bench
