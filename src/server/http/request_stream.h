// SPDX-License-Identifier: GPL-3.0-or-later
// What a worker reads a request through and writes its answer to: the
// library's stream over one connection whose request head has arrived,
// held to the request's bounds, and the close after it.
#pragma once

#include <httplib.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "server/http/bounds.h"

namespace gorvane::server {

// One request's bytes for the library: at most kHttpRequestBytes of it,
// within kHttpReadTime, its answer at most kHttpAnswerBytes and taken within
// kHttpWriteTime; every wait ends when the server stops, which it tells by
// closing the listener. The head reaches the library without its Range
// headers: the library would answer each range asked for with its own copy
// of the page, and parts of pages that change every second serve nobody.
class RequestStream final : public httplib::Stream {
 public:
  RequestStream(socket_t sock, const std::atomic<socket_t>& listener) : sock_(sock), listener_(listener) {}

  // A request or its answer went past a bound: the connection is done with.
  bool spent() const { return spent_; }
  // Bytes came after the request: the client sends requests without
  // waiting for answers, which the door cannot look at.
  bool leftover() const { return readyAt_ < ready_.size() || !line_.empty(); }

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return sock_; }

 private:
  using Clock = std::chrono::steady_clock;

  // Whether the socket is ready for events by the deadline, looking now and
  // then whether the server stops.
  bool Wait(short events, Clock::time_point deadline) const;
  void Address(int (*name)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const;
  // What came, passed on for the library: the head a whole line at a time.
  void Pass(std::string_view got);
  void EndLine();

  const socket_t sock_;
  const std::atomic<socket_t>& listener_;
  std::array<char, 4096> buffer_{};
  // Bytes for the library, and how far it has read them.
  std::string ready_;
  size_t readyAt_ = 0;
  // The head's line not yet ended, the lines before it, and whether the
  // last header was left out (a folded line after it goes with it).
  std::string line_;
  size_t lines_ = 0;
  bool leftOut_ = false;
  bool headDone_ = false;
  size_t taken_ = 0;
  size_t written_ = 0;
  bool spent_ = false;
  // The head has arrived by the time the stream is made.
  const Clock::time_point readBy_ = Clock::now() + kHttpReadTime;
  std::optional<Clock::time_point> writeBy_;
};

// Closes after the answer has gone: what the peer sent and nobody read
// would otherwise make the close a reset, which can take the answer with it.
void CloseGently(socket_t sock, std::chrono::milliseconds linger);

}  // namespace gorvane::server
