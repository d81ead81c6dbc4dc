// SPDX-License-Identifier: GPL-3.0-or-later
// The lobby's outbox: messages queued on users' connections, and the ends
// of connections, told goodbye or cut off; and what the server does when
// the connection table drops a connection or takes one out.
#include <sys/epoll.h>

#include "server/loop/connection.h"
#include "server/loop/server.h"

namespace gorvane::server {

void Server::Send(int32_t user, std::string_view message) {
  Connection* connection = table_.FindUser(user);
  if (connection == nullptr) return;
  metrics_.Sent(message);
  connection->out.Append(message);
  table_.Queued(*connection);
}

void Server::SendFramed(int32_t user, const Framed& message, ListSlot slot) {
  Connection* connection = table_.FindUser(user);
  if (connection == nullptr) return;
  metrics_.Sent(*message);
  connection->out.Append(message, slot);
  table_.Queued(*connection);
}

void Server::Close(int32_t user, std::string_view why) {
  Connection* released = table_.ReleaseUser(user);
  if (released == nullptr) return;
  Connection& connection = *released;
  LogAbout(connection.address, "closing", "user " + std::to_string(user) + " closing: " + std::string(why));
  StartClosing(connection);
  // Nothing left to write: the shutdown goes out now.
  if (connection.out.empty()) table_.Flush(connection);
  table_.MarkDirty(connection);
}

void Server::Cut(int32_t user, std::string_view why) {
  Connection* connection = table_.FindUser(user);
  if (connection == nullptr) return;
  admission_.CutOff(connection->address, SteadyClock::now());
  table_.Drop(*connection, "cut off: " + std::string(why));
}

void Server::StartClosing(Connection& connection) {
  admission_.Uncount(connection);
  table_.StartClosing(connection);
}

void Server::Dropped(Connection& connection, const std::string& why) {
  admission_.Uncount(connection);
  // However it ends, failing, timing out or given up by the peer.
  if (connection.stage == Connection::Stage::kHandshaking) metrics_.TlsHandshakeFailed();
  if (connection.loginPending) logins_->Cancel(connection.key);
  if (!connection.joined) {
    LogAbout(connection.address, "unjoined",
             "user " + std::to_string(connection.user) + " (" + connection.peer +
                 ") left without joining: " + why);
    return;
  }
  LogAbout(connection.address, connection.closing ? "gone" : "lost",
           "user " + std::to_string(connection.user) + " (" + connection.peer + ") " +
               (connection.closing ? "gone: " : "lost: ") + why);
}

void Server::Removed(int32_t user, const std::string& address, bool inLobby) {
  admission_.Left(address);
  metrics_.Connections(table_.size(), admission_.unjoined());
  // The lobby hears of the loss once the connection is gone, so that
  // nothing more is queued for it; not while everybody is told goodbye.
  if (inLobby && !farewell_) lobby_->Disconnect(user);
}

void Server::Reap() {
  table_.Reap();
  if (acceptPaused_ && listener_ >= 0) {
    acceptPaused_ = false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kListenerKey;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, listener_, &event);
  }
}

}  // namespace gorvane::server
