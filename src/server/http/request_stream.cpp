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

bool RequestStream::is_readable() const { return readyAt_ < ready_.size() || Wait(POLLIN, Clock::now()); }

bool RequestStream::is_writable() const {
  return Wait(POLLOUT, writeBy_.value_or(Clock::now() + kHttpWriteTime));
}

ssize_t RequestStream::read(char* ptr, size_t size) {
  if (spent_) return -1;
  while (readyAt_ == ready_.size()) {
    if (taken_ >= kHttpRequestBytes || !Wait(POLLIN, readBy_)) {
      spent_ = true;
      return -1;
    }
    const size_t room = std::min(buffer_.size(), kHttpRequestBytes - taken_);
    const ssize_t got = ::recv(sock_, buffer_.data(), room, MSG_DONTWAIT);
    if (got > 0) {
      taken_ += static_cast<size_t>(got);
      Pass({buffer_.data(), static_cast<size_t>(got)});
    } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      spent_ = true;
      return got == 0 ? 0 : -1;
    }
  }
  const size_t n = std::min(size, ready_.size() - readyAt_);
  std::memcpy(ptr, ready_.data() + readyAt_, n);
  readyAt_ += n;
  if (readyAt_ == ready_.size()) {
    ready_.clear();
    readyAt_ = 0;
  }
  return static_cast<ssize_t>(n);
}

void RequestStream::Pass(std::string_view got) {
  while (!got.empty()) {
    if (headDone_) {
      ready_ += got;
      return;
    }
    const size_t end = got.find('\n');
    line_ += got.substr(0, end == std::string_view::npos ? got.size() : end + 1);
    if (end == std::string_view::npos) return;
    got.remove_prefix(end + 1);
    EndLine();
  }
}

void RequestStream::EndLine() {
  const bool blank = line_ == "\r\n" || line_ == "\n";
  const bool folded = !blank && lines_ > 0 && (line_.front() == ' ' || line_.front() == '\t');
  if (!folded) {
    // The request line first, then headers: a header's name ends at its
    // colon.
    std::string_view name(line_);
    name = name.substr(0, name.find(':'));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    leftOut_ =
        lines_ > 0 && name.size() == 5 && std::equal(name.begin(), name.end(), "range", [](char a, char b) {
          return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
        });
  }
  if (!leftOut_) ready_ += line_;
  line_.clear();
  ++lines_;
  headDone_ = blank;
}

ssize_t RequestStream::write(const char* ptr, size_t size) {
  if (!writeBy_) writeBy_ = Clock::now() + kHttpWriteTime;
  // An answer cut short is better than one without end: the connection is
  // closed after it.
  written_ += size;
  if (written_ > kHttpAnswerBytes) {
    spent_ = true;
    return -1;
  }
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
