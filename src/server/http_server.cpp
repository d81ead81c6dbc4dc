// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "server/http_side.h"

namespace gorvane::server {
namespace {

using Clock = std::chrono::steady_clock;
// How often a wait looks whether the server is stopping.
constexpr auto kStopCheck = std::chrono::milliseconds(100);

// A browser must not take the CPU from the game loop.
void LowerPriority() {
  [[maybe_unused]] const int niced = setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
}

// kHttpWorkers threads and at most kHttpWaiting connections waiting for
// them. The library's own queue takes every connection it accepts.
class BoundedQueue final : public httplib::TaskQueue {
 public:
  BoundedQueue() {
    for (size_t i = 0; i < kHttpWorkers; ++i) workers_.emplace_back([this] { Work(); });
  }
  ~BoundedQueue() override { shutdown(); }

  void enqueue(std::function<void()> job) override {
    {
      const std::lock_guard lock(mutex_);
      if (!stop_ && jobs_.size() < kHttpWaiting) {
        jobs_.push_back(std::move(job));
        ready_.notify_one();
        return;
      }
    }
    // The job cannot be dropped (it owns the socket): run here, on the
    // accepting thread, it answers 503 at once and closes.
    job();
  }

  // Every connection still waiting is closed unanswered: the server has
  // stopped listening, and each job sees that first.
  void shutdown() override {
    {
      const std::lock_guard lock(mutex_);
      stop_ = true;
    }
    ready_.notify_all();
    for (std::thread& worker : workers_) {
      if (worker.joinable()) worker.join();
    }
  }

 private:
  void Work() {
    LowerPriority();
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
  bool stop_ = false;
  std::vector<std::thread> workers_;
};

// One connection's bytes for the library, a request at a time: at most
// kHttpRequestBytes of it, within kHttpReadTime of its first byte, its
// answer taken within kHttpWriteTime; every wait ends when the server stops.
class RequestStream final : public httplib::Stream {
 public:
  RequestStream(socket_t sock, const std::atomic<socket_t>& listener) : sock_(sock), listener_(listener) {}

  // Waits up to kHttpIdle for the next request; false when none came.
  bool NextRequest() {
    if (spent_) return false;
    if (begin_ == end_ && !Wait(POLLIN, Clock::now() + kHttpIdle)) return false;
    taken_ = 0;
    readBy_ = Clock::now() + kHttpReadTime;
    writeBy_.reset();
    return true;
  }
  // A request went past a bound: the connection is done with.
  bool spent() const { return spent_; }

  bool is_readable() const override { return begin_ < end_ || Wait(POLLIN, Clock::now()); }
  bool is_writable() const override {
    return Wait(POLLOUT, writeBy_.value_or(Clock::now() + kHttpWriteTime));
  }

  ssize_t read(char* ptr, size_t size) override {
    if (spent_ || taken_ >= kHttpRequestBytes) {
      spent_ = true;
      return -1;
    }
    while (begin_ == end_) {
      if (!Wait(POLLIN, readBy_)) {
        spent_ = true;
        return -1;
      }
      const ssize_t got = ::recv(sock_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
      if (got > 0) {
        begin_ = 0;
        end_ = static_cast<size_t>(got);
      } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        spent_ = true;
        return got == 0 ? 0 : -1;
      }
    }
    const size_t n = std::min({size, end_ - begin_, kHttpRequestBytes - taken_});
    std::memcpy(ptr, buffer_.data() + begin_, n);
    begin_ += n;
    taken_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!writeBy_) writeBy_ = Clock::now() + kHttpWriteTime;
    size_t sent = 0;
    while (sent < size) {
      const ssize_t n = ::send(sock_, ptr + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent += static_cast<size_t>(n);
      } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) ||
                 !Wait(POLLOUT, *writeBy_)) {
        spent_ = true;
        return -1;
      }
    }
    return static_cast<ssize_t>(size);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(getpeername, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { Address(getsockname, ip, port); }
  socket_t socket() const override { return sock_; }

 private:
  // Whether the socket is ready for events by the deadline, looking now and
  // then whether the server stops.
  bool Wait(short events, Clock::time_point deadline) const {
    for (;;) {
      if (listener_.load() == INVALID_SOCKET) return false;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd watched{sock_, events, 0};
      const int ready = ::poll(
          &watched, 1, static_cast<int>(std::clamp(left, {}, std::chrono::milliseconds(kStopCheck)).count()));
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) return false;
      if (left.count() <= 0) return false;
    }
  }

  void Address(int (*name)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (name(sock_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
    std::array<char, INET6_ADDRSTRLEN> text{};
    const void* raw =
        address.ss_family == AF_INET6
            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr)
            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(&address)->sin_addr);
    if (inet_ntop(address.ss_family, raw, text.data(), text.size()) == nullptr) return;
    ip = text.data();
    port = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port
                                               : reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  }

  const socket_t sock_;
  const std::atomic<socket_t>& listener_;
  std::array<char, 4096> buffer_{};
  size_t begin_ = 0;
  size_t end_ = 0;
  size_t taken_ = 0;
  bool spent_ = false;
  Clock::time_point readBy_{};
  std::optional<Clock::time_point> writeBy_;
};

// Closes after the answer has gone: what the peer sent and nobody read
// would otherwise make the close a reset, which can take the answer with it.
void CloseGently(socket_t sock, std::chrono::milliseconds linger) {
  ::shutdown(sock, SHUT_WR);
  const auto until = Clock::now() + linger;
  std::array<char, 4096> sink{};
  size_t drained = 0;
  while (drained < 64 * sink.size()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    pollfd watched{sock, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&watched, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t got = ::recv(sock, sink.data(), sink.size(), MSG_DONTWAIT);
    if (got <= 0) break;
    drained += static_cast<size_t>(got);
  }
  ::close(sock);
}

constexpr std::string_view kBusy =
    "HTTP/1.1 503 Service Unavailable\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Content-Length: 5\r\n"
    "Retry-After: 1\r\n"
    "Connection: close\r\n"
    "\r\n"
    "busy\n";

}  // namespace

BoundedHttpServer::BoundedHttpServer() {
  new_task_queue = [] { return std::make_unique<BoundedQueue>().release(); };
}

int BoundedHttpServer::Bind(const std::string& address, uint16_t port) {
  const int bound = port == 0 ? bind_to_any_port(address) : (bind_to_port(address, port) ? port : -1);
  // Listening again sets the backlog: the library's 5 would drop the
  // handshakes of a few browsers at once, and each would wait a second or
  // more to try again instead of being answered (503 if need be).
  if (bound > 0) ::listen(svr_sock_, kHttpBacklog);
  return bound;
}

bool BoundedHttpServer::Serve() {
  acceptThread_.store(std::this_thread::get_id());
  LowerPriority();
  return listen_after_bind();
}

bool BoundedHttpServer::process_and_close_socket(socket_t sock) {
  if (std::this_thread::get_id() == acceptThread_.load()) {
    // The queue is full; the accepting thread must not wait for the peer.
    [[maybe_unused]] const ssize_t sent =
        ::send(sock, kBusy.data(), kBusy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(sock, SHUT_WR);
    ::close(sock);
    return false;
  }
  // The library writes an answer's head and body apart: held back for the
  // peer's delayed acknowledgement, a kept-alive connection's every answer
  // would wait 40 ms, and hold its worker that long.
  const int on = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  bool answered = false;
  RequestStream stream(sock, svr_sock_);
  for (size_t left = kHttpRequestsPerConnection; left > 0 && stream.NextRequest(); --left) {
    bool closed = false;
    bool get = false;
    answered = process_request(stream, left == 1, closed, [&](httplib::Request& request) {
      get = request.method == "GET" || request.method == "HEAD";
    });
    // A refused method's body is not read: the connection ends with it.
    if (!answered || closed || !get || stream.spent()) break;
  }
  CloseGently(sock, svr_sock_.load() == INVALID_SOCKET ? std::chrono::milliseconds(0)
                                                       : std::chrono::milliseconds(200));
  return answered;
}

}  // namespace gorvane::server
