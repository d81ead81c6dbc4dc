// SPDX-License-Identifier: GPL-3.0-or-later
// Connections coming in: accepted when admission lets them in, read through
// the connection table and their commands handed to the lobby, logins
// checked off the loop among them.
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <optional>
#include <string_view>

#include "server/base/net.h"
#include "server/base/wire.h"
#include "server/loop/connection.h"
#include "server/loop/server.h"
#include "spine/codec.h"

namespace gorvane::server {
namespace {

// Connections accepted between two looks at the others: a flood of connects
// must not keep the users already in waiting.
constexpr int kAcceptBudget = 64;

}  // namespace

void Server::Accept() {
  for (int accepted = 0; accepted < kAcceptBudget; ++accepted) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int fd =
        accept4(listener_, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      Admit(fd, address);
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    // Out of descriptors or memory: stop listening for a while rather than
    // spin on a listener that stays readable; a closed connection resumes.
    metrics_.Defended(Defence::kAcceptPaused);
    Log("accept: " + ErrorText(errno) + "; not accepting until a connection closes");
    epoll_event event{};
    event.data.u64 = kListenerKey;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, listener_, &event);
    acceptPaused_ = true;
    return;
  }
}

void Server::Admit(int fd, const sockaddr_storage& address) {
  const std::string host = AddressKey(address, options_.ipv6Prefix);
  const std::string peer = PeerText(address);
  const TimePoint now = SteadyClock::now();
  if (!admission_.Admit(fd, host, peer, lobby_->CanMakeRoom(now), now)) return;
  int error = 0;
  Connection* connection = table_.Add(fd, host, peer, error);
  if (connection == nullptr) {
    Log("connection from " + peer + " dropped: " + ErrorText(error));
    return;
  }
  admission_.Admitted(*connection, now);
  Arrive(*connection, now);
}

void Server::Read(Connection& connection) {
  switch (table_.Receive(connection)) {
    case ConnectionTable::Received::kNothing:
      return;
    case ConnectionTable::Received::kFlooded:
      metrics_.Defended(Defence::kUnterminated);
      admission_.CutOff(connection.address, SteadyClock::now());
      lobby_->CutOff(connection.user, SteadyClock::now());
      table_.Drop(connection, "sent more than 64 KiB without a NUL");
      return;
    case ConnectionTable::Received::kTlsHello:
      // Its handshake would wait for the join timeout: closed now, so that
      // the client can tell at once.
      metrics_.TlsHandshakeFailed();
      table_.Drop(connection, tls_ ? "sent a ClientHello after it was greeted in plain"
                                   : "sent a ClientHello; this server does not offer TLS");
      return;
    case ConnectionTable::Received::kBytes:
      break;
  }
  Process(connection);
  if (connection.dead) return;
  // The one who asked hears first.
  table_.Flush(connection);
}

void Server::Process(Connection& connection) {
  size_t handled = 0;
  while (!connection.loginPending && !connection.joinHeld && !connection.closing && !connection.dead &&
         handled < kCommandsPerTurn) {
    const std::optional<std::string_view> text = table_.NextCommand(connection);
    if (!text) break;
    ++handled;
    Handle(connection, *text);
  }
  if (connection.dead || connection.closing) return;
  table_.Handled(connection);
}

void Server::Handle(Connection& connection, std::string_view text) {
  metrics_.Received(text);
  const TimePoint now = SteadyClock::now();
  if (!connection.joined && ParseCommand(text).kind == "G_JOIN" &&
      !admission_.Join(connection.address, now)) {
    // Every join and departure is told to everybody: an address that comes
    // and goes faster than the lobby broadcasts allow is turned away.
    table_.Exceed(connection, Defence::kAddressJoins, "turned away: its address joined too often lately");
    return;
  }
  lobby_->Handle(connection.user, text, now);
  if (const User* user = lobby_->FindUser(connection.user); user != nullptr && user->joinWaiting) {
    connection.joinHeld = true;
    heldJoins_.push_back(connection.key);
  }
  if (!connection.joined && !connection.dead && lobby_->IsJoined(connection.user)) {
    connection.joined = true;
    admission_.Uncount(connection);
    LogAbout(connection.address, "join",
             "user " + std::to_string(connection.user) + " joined from " + connection.peer);
  }
}

void Server::CheckLogin(int32_t user, const std::string& login, const std::string& password,
                        bool mayRegister) {
  Connection* connection = table_.FindUser(user);
  if (connection == nullptr) return;
  const auto outcome =
      logins_->Begin(connection->key, connection->address, login, password, SteadyClock::now(), mayRegister);
  if (outcome) {
    lobby_->LoginAnswered(user, login, {*outcome});
    return;
  }
  // Nothing more from this user is handled or read until the answer.
  connection->loginPending = true;
  table_.Watch(*connection);
}

void Server::StoreFailed(const std::string& why) {
  const TimePoint now = SteadyClock::now();
  if (storeLogged_ && now - *storeLogged_ < kResultReportGap) {
    ++storeQuiet_;
    return;
  }
  Log("logins answered as wrong passwords: the account store failed: " + why +
      (storeQuiet_ > 0 ? " (and " + Count(storeQuiet_) + " more since the last report)" : ""));
  storeLogged_ = now;
  storeQuiet_ = 0;
}

void Server::CollectLogins() {
  for (const LoginDesk::Answer& answer : logins_->Collect(SteadyClock::now())) {
    Connection* found = table_.FindKey(answer.ticket);
    if (found == nullptr) continue;
    Connection& connection = *found;
    if (answer.locked) {
      metrics_.Defended(Defence::kLoginLockout);
      LogAbout(connection.address, "login lock",
               "logins from " + connection.address + " are not checked for a while: too many failures");
    }
    if (answer.outcome == LoginOutcome::kFailed) StoreFailed(answer.why);
    connection.loginPending = false;
    lobby_->LoginAnswered(connection.user, answer.login,
                          {answer.outcome, answer.moderator, answer.registered});
    Process(connection);
    table_.MarkDirty(connection);
  }
}

}  // namespace gorvane::server
