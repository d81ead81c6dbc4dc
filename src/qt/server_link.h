// SPDX-License-Identifier: GPL-3.0-or-later
// The lobby's connection to the server: the Qt socket, and above it the
// transport that decides per address between plain and TLS and which keys
// it trusts (client/secure_transport.h), wired to the lobby's events.
#pragma once

#include <QObject>
#include <string>

#include "client/lobby.h"
#include "client/secure_transport.h"
#include "qt/socket_transport.h"

namespace gorvane {

class ServerLink {
 public:
  // serverKeysPath: the file of pinned keys; the socket is a child of parent.
  ServerLink(std::string serverKeysPath, QObject* parent);
  // The lobby the events go to: set once, before anything connects.
  void Attach(Lobby& lobby) { lobby_ = &lobby; }

  Transport& transport() { return secure_; }
  SocketTransport& socket() { return *socket_; }
  bool encrypted() const { return secure_.encrypted(); }

 private:
  Lobby* lobby_ = nullptr;
  SocketTransport* socket_;
  SecureTransport secure_;
};

}  // namespace gorvane
