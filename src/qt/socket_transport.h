// SPDX-License-Identifier: GPL-3.0-or-later
// The client socket: a QTcpSocket whose events arrive through the window
// event loop, behind the logic's Transport interface.
#pragma once

#include <QObject>
#include <QTcpSocket>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "spine/ports.h"

namespace gorvane {

class SocketTransport : public QObject, public Transport {
 public:
  struct Events {
    std::function<void()> connect;
    std::function<void()> disconnect;
    std::function<void(std::string_view)> read;
    std::function<void(SocketErrorKind, std::string_view)> error;
  };

  // Bytes the socket reads ahead of the program at most. While a modal box
  // is open inside the read handler, the rest waits in the kernel and the
  // server is held back by TCP, so the framing's cap bounds the memory.
  static constexpr qint64 kReadAhead = 64 * 1024;

  SocketTransport(Events events, QObject* parent);
  // Goes without a word to its owner: the owner's logic, which the events
  // call into, may already be gone when a parent window deletes us.
  ~SocketTransport() override;

  bool active() const override { return active_; }
  bool connected() const override { return socket_.state() == QAbstractSocket::ConnectedState; }
  // Only dotted IPv4 addresses; starting while a connection is up or under
  // way changes nothing.
  bool Start(const std::string& address, uint16_t port) override;
  void Close() override;
  // A write the socket refuses, now or when its buffered bytes go out, is
  // reported as a send error, before the disconnect it causes.
  void Send(std::string_view bytes) override;

  // Bytes received that the program has not taken yet.
  qint64 bufferedBytes() const { return socket_.bytesAvailable(); }

 private:
  void OnReadyRead();
  void OnError(QAbstractSocket::SocketError error);
  void OnDisconnected();
  void ReportSendFailure();

  Events events_;
  QTcpSocket socket_;
  bool active_ = false;
  bool connecting_ = false;
  // Inside Send: errors and the close they cause wait for its end.
  bool sending_ = false;
  bool disconnectPending_ = false;
  std::optional<std::string> sendError_;
};

}  // namespace gorvane
