// SPDX-License-Identifier: GPL-3.0-or-later
// One client's connection as the loop keeps it, and what the loop's files
// share about connections: the listener's key among the loop's events, and
// how errors and counts are worded in the log.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "server/base/limits.h"
#include "server/loop/out_queue.h"
#include "server/loop/tls.h"

namespace gorvane::server {

// Connections are keyed from 1 on.
inline constexpr uint64_t kListenerKey = 0;

inline std::string ErrorText(int error) { return std::strerror(error); }

inline std::string Count(size_t value) { return std::to_string(value); }

struct Connection {
  uint64_t key = 0;
  int fd = -1;
  int32_t user = 0;
  std::string address;  // what connections are counted by
  std::string peer;     // address and port, for the log
  // Bytes read and not handled yet, from inboxAt on: whole commands wait
  // here for their turn or for a login's answer, with no more read meanwhile.
  std::string inbox;
  size_t inboxAt = 0;
  // The bytes after the inbox's last NUL: each byte read is looked at once,
  // however slowly a command trickles in.
  size_t unterminated = 0;
  OutQueue out;
  // What epoll was last told to watch the socket for.
  struct Interest {
    bool reading = true;
    bool writing = false;
  } interest;
  // Whether the key waits in the backlog of commands or among the
  // connections to write to, so that it is never there twice.
  struct Listed {
    bool backlog = false;
    bool dirty = false;
  } listed;
  // Until it is greeted, a connection on a server with TLS is either
  // listened to for a ClientHello or in its handshake.
  enum class Stage { kGreeted, kSniffing, kHandshaking } stage = Stage::kGreeted;
  // Over TLS: every byte goes through the session.
  TlsSession tls;
  // The session wants the socket to take bytes before it reads on.
  bool tlsWantsWrite = false;
  // Whether any byte came yet: a plain connection that opens with a
  // ClientHello is a TLS client the server cannot serve.
  bool heard = false;
  bool loginPending = false;
  // Its G_JOIN waits for the greetings' bound: what it sent after (lists, a
  // login) waits unread with it, since before its greeting it would be
  // refused as not joined.
  bool joinHeld = false;
  bool joined = false;
  bool countedUnjoined = false;
  bool closing = false;  // told goodbye: finish writing, then shut down
  bool shutDown = false;
  bool dead = false;
  TimePoint closeBy{};

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace gorvane::server
