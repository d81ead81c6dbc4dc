// SPDX-License-Identifier: GPL-3.0-or-later
// cpp-httplib's server held to bounds the library leaves open. Debian ships
// it compiled, so its compile-time limits are fixed in the library: a header
// line may be 8 KiB, but a request may have any number of them, and its
// workers wait on slow clients. Here the library still reads and answers
// each request, but only once the whole of its head has arrived: until
// then a connection waits at a door of ours (door.h), which accepts,
// watches every waiting connection on one thread, paces each address,
// queues whole requests for a few workers, answers health itself, and
// answers 503 what it cannot queue in time. The workers read through a
// stream of ours (request_stream.h) that stops a request at
// kHttpRequestBytes and its answer at a deadline.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "server/http/door.h"

namespace gorvane::server {

enum class Defence;

class BoundedHttpServer : public httplib::Server {
 public:
  // What /healthz answers; asked for on the door's thread, so it must not
  // wait.
  using Health = HttpHealth;

  // Both are called on the door's thread. An IPv6 address counts by its
  // first ipv6Prefix bits, as on the game's port.
  BoundedHttpServer(std::function<Health()> health, std::function<void(Defence)> defended, int ipv6Prefix);
  ~BoundedHttpServer() override;

  // Binds to the address and port (0: any free one); the port, or -1.
  int Bind(const std::string& address, uint16_t port);
  // Serves on the calling thread until Stop().
  void Serve();
  // From any thread, before or while Serve() runs.
  void Stop();

 private:
  // On a worker: one request whose head has arrived. Whether the connection
  // stays open for another, to wait at the door again.
  bool Answer(socket_t sock, size_t served);

  std::unique_ptr<HttpDoor> door_;
};

}  // namespace gorvane::server
