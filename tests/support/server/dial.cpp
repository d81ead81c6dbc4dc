// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/server/dial.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace gorvane::testing {

namespace {

sockaddr_in Address(const std::string& text, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, text.c_str(), &address.sin_addr);
  return address;
}

// Closes the socket and gives back the error that made it useless.
int Fail(int fd) {
  const int error = errno;
  ::close(fd);
  errno = error;
  return -1;
}

}  // namespace

int DialLoopback(const std::string& address, uint16_t port, const DialOptions& options) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (options.nonBlocking ? SOCK_NONBLOCK : 0), 0);
  if (fd < 0) return -1;
  const int on = 1;
  if (options.receiveBuffer > 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options.receiveBuffer, sizeof options.receiveBuffer);
  }
  if (!options.source.empty()) {
    if (options.nonBlocking) setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    const sockaddr_in from = Address(options.source, 0);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) return Fail(fd);
  }
  const sockaddr_in to = Address(address, port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
      !(options.nonBlocking && errno == EINPROGRESS)) {
    return Fail(fd);
  }
  if (!options.nonBlocking) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

}  // namespace gorvane::testing
