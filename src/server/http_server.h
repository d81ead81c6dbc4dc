// SPDX-License-Identifier: GPL-3.0-or-later
// cpp-httplib's server held to bounds the library leaves open. Debian ships
// it compiled, so its compile-time limits are fixed in the library: a header
// line may be 8 KiB, but a request may have any number of them, and its task
// queue holds any number of connections. Here the library still reads and
// answers each request, but from a stream of ours that stops a request at
// kHttpRequestBytes and at its deadlines, and connections wait in a queue of
// ours that answers 503 when full.
#pragma once

#include <httplib.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace gorvane::server {

class BoundedHttpServer : public httplib::Server {
 public:
  BoundedHttpServer();

  // Binds to the address and port (0: any free one); the port, or -1.
  int Bind(const std::string& address, uint16_t port);
  // Accepts connections on the calling thread until stop().
  bool Serve();

 private:
  // Called by the library for each connection it accepted; overridden so
  // that the connection is read through the bounded stream.
  bool process_and_close_socket(socket_t sock) override;

  // The thread that accepts: a connection handed back to it by a full queue
  // is answered 503 there at once.
  std::atomic<std::thread::id> acceptThread_{};
};

}  // namespace gorvane::server
