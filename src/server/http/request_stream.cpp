// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/http/request_stream.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "server/base/net.h"

namespace gorvane::server {

bool RequestStream::is_readable() const { return begin_ < end_ || Wait(POLLIN, Clock::now()); }

bool RequestStream::is_writable() const {
  return Wait(POLLOUT, writeBy_.value_or(Clock::now() + kHttpWriteTime));
}

ssize_t RequestStream::read(char* ptr, size_t size) {
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

ssize_t RequestStream::write(const char* ptr, size_t size) {
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

void RequestStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  Address(getpeername, ip, port);
}

void RequestStream::get_local_ip_and_port(std::string& ip, int& port) const {
  Address(getsockname, ip, port);
}

bool RequestStream::Wait(short events, Clock::time_point deadline) const {
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

void RequestStream::Address(int (*name)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (name(sock_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
  ip = HostOf(address);
  port = PortOf(address);
}

void CloseGently(socket_t sock, std::chrono::milliseconds linger) {
  using Clock = std::chrono::steady_clock;
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

}  // namespace gorvane::server
