// SPDX-License-Identifier: GPL-3.0-or-later
// A TCP connection on loopback, as the tests and the server benchmark's
// simulated machines open them.
#pragma once

#include <cstdint>
#include <string>

namespace gorvane::testing {

struct DialOptions {
  // Bound to first when given (127.x.y.z: another machine, as the server
  // counts them); otherwise the kernel picks.
  std::string source;
  // SO_RCVBUF in bytes before connecting when above 0, so that a client
  // that does not read fills up soon.
  int receiveBuffer = 0;
  // The connect is begun and left to finish, and the source port is chosen
  // only then, so that thousands of short connections from one address do
  // not run out of ports to bind. Otherwise the connect is waited for and
  // the socket, blocking, sends each message at once (TCP_NODELAY).
  bool nonBlocking = false;
};

// The socket, connected or (non-blocking) connecting; -1 with errno set
// when it cannot be, nothing left open.
int DialLoopback(const std::string& address, uint16_t port, const DialOptions& options = {});

}  // namespace gorvane::testing
