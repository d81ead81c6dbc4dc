// SPDX-License-Identifier: GPL-3.0-or-later
// Machines that talk to the server's HTTP side, for the http part: a
// scraper and a visitor as a host has them, a watchdog asking /healthz, and
// a flood of the port from several addresses in 127.0.0.0/8.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sim/connection.h"

namespace gorvane::bench {

// One request's outcome. status 0: no answer came (closed, reset, timed
// out); -1: no connection.
struct HttpAnswer {
  int status = -1;
  std::string head;  // the status line, headers and the start of the body
  double ms = 0;
  size_t bytes = 0;  // the whole answer, head and body
};

// A GET on a connection of its own from the source address, within limit;
// headers: more header lines, each ending in CRLF.
HttpAnswer HttpGet(const std::string& source, const std::string& server, uint16_t port,
                   const std::string& path, std::chrono::milliseconds limit, const std::string& headers = {});

// Answers by kind: 200, 503 "busy" from a full queue, any other status, and
// none at all.
struct HttpTally {
  uint64_t ok = 0;
  uint64_t busy = 0;
  uint64_t other = 0;
  uint64_t none = 0;
  std::vector<double> ms;  // of the answered ones
  uint64_t bytes = 0;      // of the answered ones, heads and bodies
  void Count(const HttpAnswer& answer);
};

// Each path in turn, all of them once per period (0: as fast as answered),
// one after another on connections of their own, with more headers if given.
class Asker : public Worker {
 public:
  Asker(std::string source, std::string server, uint16_t port, std::vector<std::string> paths,
        std::chrono::milliseconds period, std::string headers = {});
  ~Asker() override;
  // What was answered since the last Take.
  HttpTally Take();

 private:
  void Step() override;
  const std::string source_;
  const std::string server_;
  const uint16_t port_;
  const std::vector<std::string> paths_;
  const std::chrono::milliseconds period_;
  const std::string headers_;
  Clock::time_point next_ = Clock::now();
  std::mutex mutex_;
  HttpTally tally_;
};

// Everything at once against the port, from eight addresses, each
// connection opened again when it ends.
class HttpFlood : public Worker {
 public:
  enum Kind : size_t {
    kHeld,  // connects and sends nothing
    kHuge,  // 64 KiB of headers, four times what a request may have
    kSlow,  // a byte every 300 ms of a request that never ends
    kFast,  // GET / and /metrics by turns, on kept-alive connections
    kKinds
  };
  static const char* Name(Kind kind);
  struct Counts {
    uint64_t connects = 0;   // tried
    uint64_t connected = 0;  // the handshake done
    uint64_t ok = 0;         // answers: 200
    uint64_t busy = 0;       // 503, a full queue
    uint64_t refused = 0;    // 4xx, a request refused
    uint64_t none = 0;       // connections ended without an answer
    uint64_t openMax = 0;    // open at once, at most
    double openMean = 0;     // and on average, looked at every 100 ms
    double lifeMs = 0;       // from connected to ended, on average
  };

  // Each connection opened again the pause after it ends, from one of as
  // many addresses as sources, from 127.0.0.150 up.
  HttpFlood(std::string server, uint16_t port, std::array<size_t, kKinds> connections,
            std::chrono::milliseconds reopen, size_t sources = 8);
  ~HttpFlood() override;
  std::array<Counts, kKinds> Take();

 private:
  struct Slot;
  void Step() override;
  void Open(size_t index);
  void Close(size_t index);
  void Read(size_t index);
  void Write(size_t index);
  void Answered(Slot& slot, int status);

  const std::string server_;
  const uint16_t port_;
  const std::chrono::milliseconds reopen_;
  const size_t sources_;
  const int epoll_;
  std::vector<Slot> slots_;
  std::mutex mutex_;
  std::array<Counts, kKinds> counts_{};
  // Counted on the flood's thread, read by Take; under mutex_.
  std::array<uint64_t, kKinds> open_{};
  std::array<uint64_t, kKinds> openSum_{};
  std::array<uint64_t, kKinds> ended_{};
  std::array<double, kKinds> lifeTotal_{};
  uint64_t looks_ = 0;
  Clock::time_point nextLook_{};
  Clock::time_point nextDrip_{};
};

// Packets the kernel dropped for a full input queue, on every CPU since it
// started: a flood on loopback can drop the game's own packets, which come
// again only after a retransmission timeout.
uint64_t PacketsDropped();

// CPU seconds of this process's threads that run at the given nice value,
// the HTTP side's own priority.
double CpuSecondsAtNice(int nice);

}  // namespace gorvane::bench
