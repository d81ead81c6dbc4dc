// The client socket: a QTcpSocket whose events arrive through the window
// event loop, behind the logic's Transport interface.
#pragma once

#include <QObject>
#include <QTcpSocket>
#include <functional>
#include <string>
#include <string_view>

#include "core/ports.h"

namespace gorvane {

class SocketTransport : public QObject, public Transport {
 public:
  struct Events {
    std::function<void()> connect;
    std::function<void()> disconnect;
    std::function<void(std::string_view)> read;
    std::function<void(SocketErrorKind, std::string_view)> error;
  };

  SocketTransport(Events events, QObject* parent);

  bool active() const override { return active_; }
  bool connected() const override { return socket_.state() == QAbstractSocket::ConnectedState; }
  // Only dotted IPv4 addresses; starting while a connection is up or under
  // way changes nothing.
  bool Start(const std::string& address, uint16_t port) override;
  void Close() override;
  void Send(std::string_view bytes) override;

 private:
  void OnReadyRead();
  void OnError(QAbstractSocket::SocketError error);

  Events events_;
  QTcpSocket socket_;
  bool active_ = false;
  bool connecting_ = false;
};

}  // namespace gorvane
