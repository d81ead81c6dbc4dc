// SPDX-License-Identifier: GPL-3.0-or-later
#include "qt/socket_transport.h"

#include <QCryptographicHash>
#include <QSslCertificate>
#include <QSslKey>

namespace gorvane {

SocketTransport::SocketTransport(Events events, QObject* parent)
    : QObject(parent), events_(std::move(events)), socket_(this), handshakeTimer_(this) {
  handshakeTimer_.setSingleShot(true);
  connect(&handshakeTimer_, &QTimer::timeout, this, [this] {
    // Told as a failed connect; the owner closes the socket.
    if (socket_.isEncrypted() || socket_.state() != QAbstractSocket::ConnectedState) return;
    events_.error(SocketErrorKind::kConnect,
                  "TLS handshake not done within " + std::to_string(handshakeWait_.count()) + " ms");
  });
  connect(&socket_, &QSslSocket::connected, this, [this] {
    connecting_ = false;
    active_ = true;
    if (encryptedDial_) handshakeTimer_.start(handshakeWait_);
    events_.connect();
  });
  connect(&socket_, &QSslSocket::disconnected, this, &SocketTransport::OnDisconnected);
  connect(&socket_, &QSslSocket::readyRead, this, &SocketTransport::OnReadyRead);
  socket_.setReadBufferSize(kReadAhead);
  connect(&socket_, &QSslSocket::errorOccurred, this, &SocketTransport::OnError);
  connect(&socket_, &QSslSocket::sslErrors, this, [this](const QList<QSslError>&) {
    sslErrorsSeen_ = true;
    socket_.ignoreSslErrors();
  });
  connect(&socket_, &QSslSocket::encrypted, this, &SocketTransport::OnEncrypted);
}

SocketTransport::~SocketTransport() {
  // Closing a connected socket would report a disconnect (and maybe an
  // error) from inside its own destructor.
  socket_.disconnect(this);
  socket_.abort();
}

bool SocketTransport::CanDial(const std::string& address, QHostAddress& host) const {
  return host.setAddress(QString::fromStdString(address)) && host.protocol() == QAbstractSocket::IPv4Protocol;
}

bool SocketTransport::Start(const std::string& address, uint16_t port) {
  if (socket_.state() != QAbstractSocket::UnconnectedState || dialQueued_) return true;
  QHostAddress host;
  if (!CanDial(address, host)) return false;
  connecting_ = true;
  encryptedDial_ = false;
  socket_.connectToHost(host, port);
  return true;
}

bool SocketTransport::StartEncrypted(const std::string& address, uint16_t port) {
  if (socket_.state() != QAbstractSocket::UnconnectedState || dialQueued_) return true;
  QHostAddress host;
  if (!CanDial(address, host)) return false;
  connecting_ = true;
  dialQueued_ = true;
  QMetaObject::invokeMethod(
      this,
      [this, name = host.toString(), port] {
        if (!dialQueued_) return;  // closed before its turn came
        dialQueued_ = false;
        sslErrorsSeen_ = false;
        encryptedDial_ = true;
        // The certificate is checked against the address itself: no host
        // name is ever used.
        socket_.connectToHostEncrypted(name, port);
      },
      Qt::QueuedConnection);
  return true;
}

void SocketTransport::OnEncrypted() {
  handshakeTimer_.stop();
  const QByteArray digest =
      QCryptographicHash::hash(socket_.peerCertificate().publicKey().toDer(), QCryptographicHash::Sha256);
  const PeerKey key{
      FormatFingerprint(std::string_view(digest.constData(), static_cast<size_t>(digest.size()))),
      !sslErrorsSeen_};
  if (events_.encrypted) events_.encrypted(key);
}

void SocketTransport::Close() {
  // Everything was flushed when sent, so the close is immediate and the
  // disconnect event runs now.
  dialQueued_ = false;
  handshakeTimer_.stop();
  socket_.disconnectFromHost();
  if (socket_.state() != QAbstractSocket::UnconnectedState) socket_.abort();
}

void SocketTransport::Send(std::string_view bytes) {
  const auto size = static_cast<qint64>(bytes.size());
  sending_ = true;
  const qint64 written = socket_.write(bytes.data(), size);
  // On the wire now, not at the next event loop turn: a blocking pause may
  // follow and the server must see the commands in order and on time. A
  // refused write shows up here, as an error and a close.
  socket_.flush();
  sending_ = false;
  if (written != size && !sendError_) sendError_ = socket_.errorString().toStdString();
  if (sendError_) ReportSendFailure();
  if (disconnectPending_) {
    disconnectPending_ = false;
    events_.disconnect();
  }
}

void SocketTransport::ReportSendFailure() {
  const std::string detail = std::move(*sendError_);
  sendError_.reset();
  events_.error(SocketErrorKind::kSend, detail);
}

void SocketTransport::OnDisconnected() {
  active_ = false;
  handshakeTimer_.stop();
  if (sending_) {
    disconnectPending_ = true;
    return;
  }
  // Bytes left over from an earlier Send that could not go out.
  if (sendError_) ReportSendFailure();
  events_.disconnect();
}

void SocketTransport::OnReadyRead() {
  // A handler may open a modal box; data that arrives meanwhile raises no new
  // signal, so keep reading until the socket is drained.
  while (socket_.bytesAvailable() > 0) {
    const QByteArray bytes = socket_.readAll();
    events_.read(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
  }
}

void SocketTransport::OnError(QAbstractSocket::SocketError error) {
  const std::string detail =
      std::to_string(static_cast<int>(error)) + " " + socket_.errorString().toStdString();
  if (connecting_) {
    connecting_ = false;
    events_.error(SocketErrorKind::kConnect, detail);
    return;
  }
  // An error while our bytes are going out is a failed send, whatever kind
  // the socket gives it; it is reported once the socket is done with it.
  if (sending_ || socket_.bytesToWrite() > 0) {
    if (!sendError_) sendError_ = detail;
    return;
  }
  // The server closing is an ordinary disconnect, reported as such.
  if (error == QAbstractSocket::RemoteHostClosedError) return;
  events_.error(SocketErrorKind::kReceive, detail);
}

}  // namespace gorvane
