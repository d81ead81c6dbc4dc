// SPDX-License-Identifier: GPL-3.0-or-later
// The client socket: a QSslSocket whose events arrive through the window
// event loop, behind the logic's Transport interface. It dials in plain or
// with TLS as it is told; which, and whether the key it meets is trusted, is
// decided above it (client/secure_transport.h).
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QSslSocket>
#include <QTimer>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "client/secure_transport.h"
#include "spine/ports.h"

namespace gorvane {

class SocketTransport : public QObject, public TlsSocket {
 public:
  struct Events {
    std::function<void()> connect;
    std::function<void()> disconnect;
    std::function<void(std::string_view)> read;
    std::function<void(SocketErrorKind, std::string_view)> error;
    // A TLS connection's handshake is done; nothing has been sent on it yet.
    std::function<void(const PeerKey&)> encrypted;
  };

  // Bytes the socket reads ahead of the program at most. While a modal box
  // is open inside the read handler, the rest waits in the kernel and the
  // server is held back by TCP, so the framing's cap bounds the memory.
  static constexpr qint64 kReadAhead = 64 * 1024;
  // A TLS handshake not done this long after the connection is up is given
  // up as a failed connect: a server (or something in between) that takes
  // the connection and says nothing must not hold the lobby's connect
  // forever. The server's own wait for a newcomer is as long.
  static constexpr std::chrono::milliseconds kHandshakeWait{10000};

  SocketTransport(Events events, QObject* parent);
  // Goes without a word to its owner: the owner's logic, which the events
  // call into, may already be gone when a parent window deletes us.
  ~SocketTransport() override;

  bool active() const override { return active_; }
  bool connected() const override { return socket_.state() == QAbstractSocket::ConnectedState; }
  // Only dotted IPv4 addresses; starting while a connection is up or under
  // way changes nothing.
  bool Start(const std::string& address, uint16_t port) override;
  // The same with TLS. Any certificate is let through the handshake; the
  // key and whether the system's authorities vouch for it are reported, and
  // the connection is dropped above unless that key is trusted.
  bool StartEncrypted(const std::string& address, uint16_t port) override;
  void Close() override;
  // A write the socket refuses, now or when its buffered bytes go out, is
  // reported as a send error, before the disconnect it causes.
  void Send(std::string_view bytes) override;

  void SetHandshakeWait(std::chrono::milliseconds wait) { handshakeWait_ = wait; }

  // Bytes received that the program has not taken yet.
  qint64 bufferedBytes() const { return socket_.bytesAvailable(); }

 private:
  void OnReadyRead();
  void OnError(QAbstractSocket::SocketError error);
  void OnDisconnected();
  void OnEncrypted();
  void ReportSendFailure();
  bool CanDial(const std::string& address, QHostAddress& host) const;

  Events events_;
  QSslSocket socket_;
  QTimer handshakeTimer_;
  std::chrono::milliseconds handshakeWait_ = kHandshakeWait;
  bool encryptedDial_ = false;
  bool active_ = false;
  bool connecting_ = false;
  // A dial asked for from inside one of the socket's own signals waits for
  // the event loop (the socket is still inside its emit).
  bool dialQueued_ = false;
  // The system's authorities did not vouch for the certificate.
  bool sslErrorsSeen_ = false;
  // Inside Send: errors and the close they cause wait for its end.
  bool sending_ = false;
  bool disconnectPending_ = false;
  std::optional<std::string> sendError_;
};

}  // namespace gorvane
