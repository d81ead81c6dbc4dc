// SPDX-License-Identifier: GPL-3.0-or-later
// The headless players' socket: a non-blocking TCP client behind the
// logic's Transport, whose events are raised from Poll on the caller's thread,
// as the window loop raises the client's.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "spine/ports.h"

namespace gorvane::bot {

class PosixTransport : public Transport {
 public:
  struct Events {
    std::function<void()> connect;
    std::function<void()> disconnect;
    std::function<void(std::string_view)> read;
    std::function<void(SocketErrorKind, std::string_view)> error;
  };

  // port: the port to connect to whatever port the lobby asks for; the
  // client's own port is fixed, a headless player's is on its command line.
  PosixTransport(Events events, std::optional<uint16_t> port);
  ~PosixTransport() override;
  PosixTransport(const PosixTransport&) = delete;
  PosixTransport& operator=(const PosixTransport&) = delete;

  bool active() const override { return active_; }
  bool connected() const override { return fd_ >= 0 && !connecting_; }
  // Only dotted IPv4 addresses; starting while a connection is up or under
  // way changes nothing.
  bool Start(const std::string& address, uint16_t port) override;
  // Writes what is still queued as far as the socket takes it, then closes;
  // the disconnect event runs now when the connection was up.
  void Close() override;
  // Queued in order and written as far as the socket takes it at once; the
  // rest goes out from Poll.
  void Send(std::string_view bytes) override;

  // Waits up to timeoutMs (-1: without limit) for the socket and raises the
  // events of what happened. False when there is no socket to wait for.
  bool Poll(int timeoutMs);
  // Whether a connect is under way or a connection is up.
  bool open() const { return fd_ >= 0; }

 private:
  void FinishConnect();
  void ReadAvailable();
  void Flush();
  // The connection is gone: the descriptor is closed and, when it was up,
  // the disconnect event runs.
  void Drop();

  Events events_;
  std::optional<uint16_t> port_;
  int fd_ = -1;
  bool connecting_ = false;
  bool active_ = false;
  std::string out_;
};

}  // namespace gorvane::bot
