// SPDX-License-Identifier: GPL-3.0-or-later
// One attack at full speed from one address, the same commands again and
// again, on sockets opened again as soon as the server closes them.
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>

#include "sim/users.h"

namespace gorvane::bench {

const char* Attacker::Name(Kind kind) {
  switch (kind) {
    case Kind::kIdleSockets:
      return "sockets that never join";
    case Kind::kWrongPasswords:
      return "wrong-password logins";
    case Kind::kPartyCreates:
      return "party creates";
    case Kind::kRenames:
      return "renames";
    case Kind::kChat:
      return "lobby chat flood";
    case Kind::kLongChat:
      return "60 KB chat lines with CR/LF";
    case Kind::kSilentAsker:
      return "questions, answers never read";
    case Kind::kLists:
      return "list requests, answers read";
    case Kind::kChurn:
      return "connect and close";
    case Kind::kGuessers:
      return "guesses at a login, 5 addresses";
    case Kind::kInfoAboutLoggedIn:
      return "G_INFO on a logged-in user";
    case Kind::kLongPlays:
      return "60 KB P_PLAY lines";
    case Kind::kJoinChurn:
      return "join and leave, 200 addresses";
    case Kind::kRefused:
      return "refused: NULs, unknown kinds";
  }
  return "?";
}

Attacker::Attacker(std::string server, uint16_t port, Kind kind)
    : server_(std::move(server)),
      port_(port),
      kind_(kind),
      // Each attack from a machine of its own: one cut off earlier must not
      // stand in the way of the next.
      source_(SourceAddress(3, static_cast<size_t>(kind))),
      clients_(kind == Kind::kIdleSockets ? 64
               : kind == Kind::kJoinChurn ? 200
               : kind == Kind::kGuessers  ? 5
                                          : 8),
      manyAddresses_(kind == Kind::kJoinChurn || kind == Kind::kGuessers),
      nextOpen_(clients_.size()) {}

Attacker::~Attacker() {
  End();
  for (SimClient& client : clients_) client.Close();
}

void Attacker::Open(size_t slot) {
  SimClient& client = clients_[slot];
  client = SimClient();
  if (manyAddresses_) {
    // Within the address's own limit of joins: five per 10 s.
    if (Clock::now() < nextOpen_[slot]) {
      client.closed = true;
      return;
    }
    nextOpen_[slot] = Clock::now() + std::chrono::seconds(2);
  }
  const std::string source =
      manyAddresses_ ? SourceAddress(kind_ == Kind::kJoinChurn ? 6 : 5, slot) : source_;
  client.fd = DialLoopback(server_, port_, {.source = source});
  ++connects_;
  if (client.fd < 0) {
    client.closed = true;
    return;
  }
  NonBlocking(client.fd);
}

void Attacker::Ended(SimClient& client) {
  ++endings_;
  int64_t none = -1;
  firstEndingNs_.compare_exchange_strong(
      none, std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - began_).count());
  client.Close();
}

void Attacker::Step() {
  static thread_local std::array<char, kReadBytes> buffer;
  std::vector<pollfd> fds;
  for (size_t slot = 0; slot < clients_.size(); ++slot) {
    SimClient& client = clients_[slot];
    if (client.closed || client.fd < 0) Open(slot);
    if (client.closed) continue;
    // Read what came: the id first, everything after it too unless this
    // attacker never reads.
    const bool reads = kind_ != Kind::kSilentAsker || client.id == 0;
    if (reads) {
      const ssize_t n = ::recv(client.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        Ended(client);
        continue;
      }
      if (n > 0) bytesRead_ += static_cast<uint64_t>(n);
      if (n > 0 && (client.id == 0 || kind_ == Kind::kJoinChurn)) {
        client.framer.Feed(std::string_view(buffer.data(), static_cast<size_t>(n)),
                           [&](std::string_view message) {
                             if (kind_ == Kind::kJoinChurn && KindOf(message) == "S_GREETING" &&
                                 FieldInt(message, 1) == client.id) {
                               client.Send("G_BYE");
                               return;
                             }
                             if (KindOf(message) != "S_CONNECT" || client.id != 0) return;
                             client.id = FieldInt(message, 1);
                             ++admitted_;
                             if (kind_ == Kind::kIdleSockets) return;
                             if (kind_ == Kind::kChurn) {
                               client.closed = true;
                               return;
                             }
                             client.Send("G_JOIN", "attacker");
                             if (kind_ == Kind::kInfoAboutLoggedIn)
                               client.Send("G_LOGIN", kLogin + std::string(" ") + kPassword);
                           });
      }
    }
    if (client.closed) {
      Ended(client);
      continue;
    }
    const bool floods = kind_ != Kind::kIdleSockets && kind_ != Kind::kChurn && kind_ != Kind::kJoinChurn;
    if (floods && client.id != 0 && client.pending.empty()) {
      const std::string id = std::to_string(client.id);
      auto repeat = [&](const std::string& command, size_t bytes) {
        while (client.pending.size() < bytes) client.pending += command;
      };
      switch (kind_) {
        case Kind::kWrongPasswords:
          repeat("G_LOGIN " + id + " alice wrong-guess" + std::string(1, '\0'), 62 * 1024);
          break;
        case Kind::kPartyCreates:
          repeat("P_CREATE " + id + " *" + std::string(1, '\0'), 4096);
          break;
        case Kind::kRenames:
          repeat("G_RENAME " + id + " attacker" + std::string(1, '\0'), 4096);
          break;
        case Kind::kChat:
          repeat("G_CHAT " + id + " flood" + std::string(1, '\0'), 4096);
          break;
        case Kind::kLongChat: {
          std::string line = "G_CHAT " + id + " ";
          while (line.size() < 60000) line += "SYS: fake\r\n";
          repeat(line + '\0', 60001);
          break;
        }
        case Kind::kSilentAsker:
          repeat("G_INFO " + id + " " + id + std::string(1, '\0'), 4096);
          break;
        case Kind::kLists:
          repeat("G_LIST " + id + " *" + std::string(1, '\0'), 4096);
          break;
        case Kind::kGuessers:
          repeat("G_LOGIN " + id + " " + kLogin + " wrong-guess" + std::string(1, '\0'), 4096);
          break;
        case Kind::kInfoAboutLoggedIn:
          repeat("G_INFO " + id + " " + id + std::string(1, '\0'), 4096);
          break;
        case Kind::kRefused:
          repeat(std::string(1, '\0') + "X " + id + " *" + std::string(1, '\0'), 4096);
          break;
        case Kind::kLongPlays: {
          std::string line = "P_PLAY " + id + " " + id;
          for (int card = 0; line.size() < 60000; ++card) line += " " + std::to_string(card % 200 + 1);
          repeat(line + '\0', 60001);
          break;
        }
        default:
          break;
      }
    }
    client.Flush();
    fds.push_back({client.fd, static_cast<short>(POLLIN | (client.pending.empty() ? 0 : POLLOUT)), 0});
  }
  // Full speed, but no spinning while every socket is full.
  poll(fds.data(), fds.size(), 1);
}

}  // namespace gorvane::bench
