// SPDX-License-Identifier: GPL-3.0-or-later
// A peer on loopback that plays a script at a client under test.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gorvane::bot::testing {

// Accepts one connection on address:21012 and writes the pieces with a
// pause between them, so that each arrives in a read of its own; then hangs
// up, or keeps what the client sends until the client closes.
class ScriptedPeer {
 public:
  ScriptedPeer(const char* address, std::vector<std::string> pieces, bool hangUp = false)
      : pieces_(std::move(pieces)), hangUp_(hangUp) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(21012);
    ::inet_pton(AF_INET, address, &at.sin_addr);
    bound_ =
        ::bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 && ::listen(listener_, 1) == 0;
    if (bound_) thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedPeer() {
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    if (thread_.joinable()) thread_.join();
  }
  bool bound() const { return bound_; }
  bool clientClosed() const { return clientClosed_; }
  std::string received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  void Run() {
    timeval timeout{5, 0};
    ::setsockopt(listener_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    for (const std::string& piece : pieces_) {
      ::send(client, piece.data(), piece.size(), MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    char buffer[4096];
    while (!hangUp_) {
      const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
      if (got <= 0) {
        clientClosed_ = got == 0;
        break;
      }
      std::lock_guard lock(mutex_);
      received_.append(buffer, static_cast<size_t>(got));
    }
    ::close(client);
  }

  std::vector<std::string> pieces_;
  bool hangUp_;
  int listener_ = -1;
  bool bound_ = false;
  std::thread thread_;
  std::mutex mutex_;
  std::string received_;
  std::atomic<bool> clientClosed_{false};
};

}  // namespace gorvane::bot::testing
