// SPDX-License-Identifier: GPL-3.0-or-later
// The one file that reaches into cpp-httplib's protected members: the
// listener the library binds (svr_sock_) and its reading and answering of
// one request (process_request). When the library is upgraded, look here
// first; the door (door.cpp) knows nothing of it, and the request stream
// (request_stream.cpp) only its public Stream.
#include "server/http/http_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <type_traits>
#include <utility>

#include "server/http/bounds.h"
#include "server/http/request_stream.h"

namespace gorvane::server {

// The door holds sockets as plain descriptors, -1 for none, and the
// library's listener by reference.
static_assert(std::is_same_v<socket_t, int> && INVALID_SOCKET == -1);

BoundedHttpServer::BoundedHttpServer(std::function<Health()> health, std::function<void(Defence)> defended,
                                     int ipv6Prefix)
    : door_(std::make_unique<HttpDoor>(
          svr_sock_, [this](int sock, size_t served) { return Answer(sock, served); }, std::move(health),
          std::move(defended), ipv6Prefix)) {}

BoundedHttpServer::~BoundedHttpServer() {
  // Never served: the listener is still open.
  if (const socket_t listener = svr_sock_.exchange(INVALID_SOCKET); listener != INVALID_SOCKET)
    ::close(listener);
}

int BoundedHttpServer::Bind(const std::string& address, uint16_t port) {
  const int bound = port == 0 ? bind_to_any_port(address) : (bind_to_port(address, port) ? port : -1);
  if (bound > 0) {
    // Listening again sets the backlog: the library's 5 would drop the
    // handshakes of a few browsers at once, and each would wait a second
    // or more to try again.
    ::listen(svr_sock_, kHttpBacklog);
    // A connection that sends nothing stays with the system, costing
    // neither a descriptor nor a look, and when one is accepted its
    // request has mostly arrived whole.
    const int seconds = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(kHttpIdle).count());
    door_->SetDeferred(::setsockopt(svr_sock_, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds) == 0);
    ::fcntl(svr_sock_, F_SETFL, ::fcntl(svr_sock_, F_GETFL) | O_NONBLOCK);
  }
  return bound;
}

void BoundedHttpServer::Serve() {
  HttpDoor::LowerPriority();
  const socket_t listener = svr_sock_.load();
  if (listener == INVALID_SOCKET) return;
  door_->Run(listener);
}

void BoundedHttpServer::Stop() { door_->Stop(); }

bool BoundedHttpServer::Answer(socket_t sock, size_t served) {
  // The library writes an answer's head and body apart: held back for the
  // peer's delayed acknowledgement, a kept-alive connection's every answer
  // would wait 40 ms, and hold its worker that long.
  if (served == 0) {
    const int on = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  RequestStream stream(sock, svr_sock_);
  const bool last = served + 1 >= kHttpRequestsPerConnection;
  bool closed = false;
  bool get = false;
  const bool answered = process_request(stream, last, closed, [&](httplib::Request& request) {
    get = request.method == "GET" || request.method == "HEAD";
  });
  // A refused method's body is not read: the connection ends with it.
  if (answered && !closed && !last && get && !stream.spent() && !stream.leftover()) return true;
  CloseGently(sock, svr_sock_.load() == INVALID_SOCKET ? std::chrono::milliseconds(0)
                                                       : std::chrono::milliseconds(200));
  return false;
}

}  // namespace gorvane::server
