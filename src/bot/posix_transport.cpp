// SPDX-License-Identifier: GPL-3.0-or-later
#include "bot/posix_transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace gorvane::bot {
namespace {

std::string ErrorText(int error) { return std::to_string(error) + " " + std::strerror(error); }

}  // namespace

PosixTransport::PosixTransport(Events events, std::optional<uint16_t> port)
    : events_(std::move(events)), port_(port) {}

PosixTransport::~PosixTransport() {
  // Gone without a word: the server sees the connection lost.
  if (fd_ >= 0) ::close(fd_);
}

bool PosixTransport::Start(const std::string& address, uint16_t port) {
  if (fd_ >= 0) return true;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port_.value_or(port));
  if (::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) return false;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // Commands are small and each waits for its answer: no batching delay.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return false;
  }
  // Even a connect that completed at once is reported from Poll, as the
  // window loop would report it.
  fd_ = fd;
  connecting_ = true;
  return true;
}

bool PosixTransport::Poll(int timeoutMs) {
  if (fd_ < 0) return false;
  pollfd entry{};
  entry.fd = fd_;
  entry.events = connecting_ ? POLLOUT : static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT));
  const int ready = ::poll(&entry, 1, timeoutMs);
  if (ready <= 0) return true;  // nothing yet, or a signal to look at
  if (connecting_) {
    FinishConnect();
    return true;
  }
  if (entry.revents & POLLOUT) Flush();
  if (fd_ >= 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR))) ReadAvailable();
  return true;
}

void PosixTransport::FinishConnect() {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  connecting_ = false;
  if (error != 0) {
    ::close(fd_);
    fd_ = -1;
    out_.clear();
    events_.error(SocketErrorKind::kConnect, ErrorText(error));
    return;
  }
  active_ = true;
  events_.connect();
}

void PosixTransport::ReadAvailable() {
  std::array<char, 65536> buffer{};
  while (fd_ >= 0) {
    const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (got > 0) {
      events_.read(std::string_view(buffer.data(), static_cast<size_t>(got)));
      continue;
    }
    if (got == 0) {
      Drop();
      return;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    // A reset: reported, and the connection is gone all the same.
    events_.error(SocketErrorKind::kReceive, ErrorText(errno));
    Drop();
    return;
  }
}

void PosixTransport::Send(std::string_view bytes) {
  if (fd_ < 0 || connecting_) {
    events_.error(SocketErrorKind::kSend, "not connected");
    return;
  }
  out_.append(bytes);
  Flush();
}

void PosixTransport::Flush() {
  while (fd_ >= 0 && !out_.empty()) {
    const ssize_t put = ::send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL);
    if (put > 0) {
      out_.erase(0, static_cast<size_t>(put));
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    // What was queued is lost; the handler closes, and if it does not the
    // connection cannot be trusted anyway.
    const std::string detail = ErrorText(errno);
    out_.clear();
    events_.error(SocketErrorKind::kSend, detail);
    if (fd_ >= 0) Drop();
    return;
  }
}

void PosixTransport::Close() {
  if (fd_ < 0) return;
  Flush();
  if (fd_ < 0) return;
  // Our side is finished; what the server still had to say is read and
  // dropped so that the close does not turn into a reset that could lose
  // the goodbye just sent.
  ::shutdown(fd_, SHUT_WR);
  std::array<char, 4096> sink{};
  while (::recv(fd_, sink.data(), sink.size(), MSG_DONTWAIT) > 0) {
  }
  Drop();
}

void PosixTransport::Drop() {
  ::close(fd_);
  fd_ = -1;
  connecting_ = false;
  out_.clear();
  if (active_) {
    active_ = false;
    events_.disconnect();
  }
}

}  // namespace gorvane::bot
