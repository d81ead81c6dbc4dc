// SPDX-License-Identifier: GPL-3.0-or-later
// What every simulated user of the server benchmark stands on: a socket
// from a machine of its own in 127.0.0.0/8, messages cut short enough to
// tell what they are, the lists asked for again as the client asks, and a
// thread that drives many such sockets.
#pragma once

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "spine/codec.h"
#include "spine/fields.h"
#include "support/server/dial.h"

namespace gorvane::bench {

using Clock = std::chrono::steady_clock;

// What a read takes at most from one socket.
inline constexpr size_t kReadBytes = 256 * 1024;

inline std::string_view KindOf(std::string_view message) {
  return message.substr(0, message.find_first_of(", "));
}

inline int32_t FieldInt(std::string_view message, size_t index) {
  const Fields fields = SplitCommaText(message);
  return index < fields.size() ? ParseInt32(fields[index]).value_or(0) : 0;
}

inline void NonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// The n-th machine of a group: 127.group.x.y.
std::string SourceAddress(int group, size_t n);

// Every simulated machine dials as the tests' clients do, from its own
// source address.
using testing::DialLoopback;

// Cuts a stream into messages, keeping only the first bytes of each: enough
// to tell what a message is, however long it runs. Asked to, it also finds
// anywhere in a message a marker and the fixed-width number after it: the
// newcomers a user list of thousands holds, past its head.
class HeadFramer {
 public:
  static constexpr size_t kHead = 1024;
  static constexpr size_t kMarkDigits = 6;
  void WatchFor(std::string marker) { marker_ = std::move(marker); }
  // During each: the numbers found in the message, maybe twice.
  const std::vector<uint32_t>& marks() const { return marks_; }

  template <typename Each>
  void Feed(std::string_view bytes, Each&& each) {
    while (!bytes.empty()) {
      const size_t nul = bytes.find('\0');
      const std::string_view piece = bytes.substr(0, nul);
      if (head_.size() < kHead) head_.append(piece.substr(0, kHead - head_.size()));
      if (!marker_.empty()) Scan(piece);
      if (nul == std::string_view::npos) return;
      each(std::string_view(head_));
      head_.clear();
      carry_.clear();
      marks_.clear();
      bytes.remove_prefix(nul + 1);
    }
  }

 private:
  void Scan(std::string_view piece);
  void Mark(std::string_view at);

  std::string head_;
  std::string marker_;
  // The message's last bytes so far: a mark split between two reads.
  std::string carry_;
  std::vector<uint32_t> marks_;
};

// One simulated client's connection.
struct SimClient {
  int fd = -1;
  int32_t id = 0;
  bool joined = false;
  bool closed = false;
  HeadFramer framer;
  std::string pending;

  void Send(std::string_view kind, std::string_view argument = "*");
  void Flush();
  void Close();
};

// What the client asks for on the lobby's news: the lists again. Returns
// how many lists it asked for.
int AnswerLikeTheClient(SimClient& client, std::string_view message, bool asks);

// Percentiles of a set of samples in milliseconds.
struct Percentiles {
  double median = 0;
  double p99 = 0;
  size_t count = 0;
};
Percentiles Summarize(std::vector<double> samples);

// A thread of its own that runs Step until stopped; at the lowest CPU
// priority when it stands for other machines.
class Worker {
 public:
  virtual ~Worker();
  void Begin(bool otherMachines);
  void End();

 protected:
  virtual void Step() = 0;
  std::atomic<bool> stop_{false};

 private:
  std::thread thread_;
};

}  // namespace gorvane::bench
