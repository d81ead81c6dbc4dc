// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/server/dial.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>

namespace gorvane::testing {
namespace {

constexpr const char* kListenAt = "127.0.0.230";
constexpr const char* kSource = "127.0.0.231";

// A descriptor closed when it goes.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

uint16_t PortOf(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

int Listener() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, kListenAt, &address.sin_addr);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int Option(int fd, int level, int name) {
  int value = 0;
  socklen_t length = sizeof value;
  getsockopt(fd, level, name, &value, &length);
  return value;
}

size_t OpenDescriptors() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

TEST(DialLoopback, ConnectsAsAsked) {
  struct Row {
    const char* what;
    DialOptions options;
    bool nonBlocking;
    bool noDelay;
  } rows[] = {
      {"plain", {}, false, true},
      {"from a source", {.source = kSource}, false, true},
      {"small receive buffer", {.source = kSource, .receiveBuffer = 4096}, false, true},
      {"non-blocking", {.source = kSource, .nonBlocking = true}, true, false},
  };
  Fd plain{::socket(AF_INET, SOCK_STREAM, 0)};
  const int usualBuffer = Option(plain.fd, SOL_SOCKET, SO_RCVBUF);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Fd listener{Listener()};
    ASSERT_GE(listener.fd, 0);
    Fd client{DialLoopback(kListenAt, PortOf(listener.fd), row.options)};
    ASSERT_GE(client.fd, 0) << std::strerror(errno);
    pollfd ready{listener.fd, POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 2000), 1);
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    Fd server{::accept(listener.fd, reinterpret_cast<sockaddr*>(&peer), &length)};
    ASSERT_GE(server.fd, 0);
    char peerText[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, peerText, sizeof peerText);
    if (!row.options.source.empty()) {
      EXPECT_EQ(std::string(peerText), row.options.source);
    }
    EXPECT_EQ((fcntl(client.fd, F_GETFL) & O_NONBLOCK) != 0, row.nonBlocking);
    EXPECT_EQ(Option(client.fd, IPPROTO_TCP, TCP_NODELAY) != 0, row.noDelay);
    const int buffer = Option(client.fd, SOL_SOCKET, SO_RCVBUF);
    if (row.options.receiveBuffer > 0) {
      EXPECT_LT(buffer, usualBuffer);
    } else {
      EXPECT_EQ(buffer, usualBuffer);
    }
  }
}

TEST(DialLoopback, FailsWithTheReasonAndLeavesNothingOpen) {
  // A port that was just listened on and is closed again: nobody there.
  uint16_t closedPort = 0;
  {
    Fd listener{Listener()};
    ASSERT_GE(listener.fd, 0);
    closedPort = PortOf(listener.fd);
  }
  struct Row {
    const char* what;
    DialOptions options;
    int error;
  } rows[] = {
      {"nobody listens", {.source = kSource}, ECONNREFUSED},
      // Not an address of this machine: cannot be bound.
      {"foreign source", {.source = "192.0.2.1"}, EADDRNOTAVAIL},
      {"foreign source, non-blocking", {.source = "192.0.2.1", .nonBlocking = true}, EADDRNOTAVAIL},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const size_t before = OpenDescriptors();
    errno = 0;
    EXPECT_EQ(DialLoopback(kListenAt, closedPort, row.options), -1);
    EXPECT_EQ(errno, row.error) << std::strerror(errno);
    EXPECT_EQ(OpenDescriptors(), before);
  }
}

}  // namespace
}  // namespace gorvane::testing
