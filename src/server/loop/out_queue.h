// SPDX-License-Identifier: GPL-3.0-or-later
// What waits to be written to one connection. A message that goes to many
// connections is framed once and its bytes shared; small messages are
// copied together so that one write carries many of them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "server/lobby/outbox.h"

struct ssl_st;

namespace gorvane::server {

class OutQueue {
 public:
  // Copies the message and its terminator.
  void Append(std::string_view message);
  void Append(const Framed& framed, ListSlot slot = ListSlot::kNone);

  // Bytes waiting.
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  enum class Result { kAll, kBlocked, kError };
  // Writes as much as the socket takes; on kError, errno tells why.
  Result WriteTo(int fd);
  // The same through a TLS session; on kError, OpenSSL's queue tells why.
  Result WriteTo(ssl_st* tls);

 private:
  struct Chunk {
    Framed shared;
    std::string own;
    std::string_view bytes() const { return shared ? std::string_view(*shared) : std::string_view(own); }
  };
  bool Unstarted(uint64_t index) const;
  void Consume(size_t written);

  std::deque<Chunk> chunks_;
  size_t sent_ = 0;  // bytes of the front chunk already written
  // A TLS write of the front chunk waits for the socket: the session holds
  // its record, so the chunk is no longer a list to be replaced.
  bool pinned_ = false;
  size_t size_ = 0;
  uint64_t popped_ = 0;  // chunks written out, so that an index stays valid
  std::array<std::optional<uint64_t>, 3> lists_;
};

}  // namespace gorvane::server
