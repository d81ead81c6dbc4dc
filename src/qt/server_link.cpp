// SPDX-License-Identifier: GPL-3.0-or-later
#include "qt/server_link.h"

namespace gorvane {

ServerLink::ServerLink(std::string serverKeysPath, QObject* parent)
    : socket_(new SocketTransport(
          {[this] { secure_.OnConnect(); }, [this] { secure_.OnDisconnect(); },
           [this](std::string_view bytes) { secure_.OnRead(bytes); },
           [this](SocketErrorKind kind, std::string_view detail) { secure_.OnError(kind, detail); },
           [this](const PeerKey& key) { secure_.OnEncrypted(key); }},
          parent)),
      secure_(*socket_, ServerKeys(std::move(serverKeysPath)),
              {[this] { lobby_->ClientSocket1Connect(); }, [this] { lobby_->ClientSocket1Disconnect(); },
               [this](std::string_view bytes) { lobby_->ClientSocket1Read(bytes); },
               [this](SocketErrorKind kind, std::string_view detail) {
                 lobby_->ClientSocket1Error(kind, detail);
               },
               [this](std::string_view line) { lobby_->PrintLobbyMessage(line, kBlack); },
               [this](std::string_view text) { lobby_->ConnectRefused(text); }}) {}

}  // namespace gorvane
