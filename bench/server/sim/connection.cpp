// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/connection.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace gorvane::bench {

std::string SourceAddress(int group, size_t n) {
  return "127." + std::to_string(group) + "." + std::to_string((n / 250) % 256) + "." +
         std::to_string(n % 250 + 1);
}

void HeadFramer::Scan(std::string_view piece) {
  const size_t keep = marker_.size() + kMarkDigits - 1;
  if (!carry_.empty()) {
    const std::string seam = carry_ + std::string(piece.substr(0, keep));
    for (size_t at = seam.find(marker_); at < carry_.size(); at = seam.find(marker_, at + 1)) {
      Mark(std::string_view(seam).substr(at));
    }
  }
  for (size_t at = piece.find(marker_); at != std::string_view::npos; at = piece.find(marker_, at + 1)) {
    Mark(piece.substr(at));
  }
  carry_ += piece.substr(piece.size() - std::min(piece.size(), keep));
  if (carry_.size() > keep) carry_.erase(0, carry_.size() - keep);
}

void HeadFramer::Mark(std::string_view at) {
  // Cut short by the end of the read: whole in the next seam.
  if (at.size() < marker_.size() + kMarkDigits) return;
  uint32_t number = 0;
  for (const char digit : at.substr(marker_.size(), kMarkDigits)) {
    if (digit < '0' || digit > '9') return;
    number = number * 10 + static_cast<uint32_t>(digit - '0');
  }
  marks_.push_back(number);
}

void SimClient::Send(std::string_view kind, std::string_view argument) {
  pending += kind;
  pending += ' ';
  pending += std::to_string(id);
  pending += ' ';
  pending += argument;
  pending += '\0';
  Flush();
}

void SimClient::Flush() {
  while (!pending.empty() && !closed) {
    const ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) return;
    pending.erase(0, static_cast<size_t>(n));
  }
}

void SimClient::Close() {
  if (fd >= 0) ::close(fd);
  fd = -1;
  closed = true;
}

int AnswerLikeTheClient(SimClient& client, std::string_view message, bool asks) {
  if (!asks) return 0;
  const std::string_view kind = KindOf(message);
  int lists = 0;
  if (kind == "S_GREETING") {
    lists = FieldInt(message, 1) == client.id ? 2 : 1;
  } else if (kind == "S_QUIT" || kind == "S_ABNORMAL") {
    lists = 1;
  } else if (kind == "S_CREATE" || kind == "S_PJOIN" || kind == "S_PBYE" || kind == "S_RENAME" ||
             kind == "S_RESULT" || kind == "S_QUITGAME") {
    lists = 2;
  }
  if (lists >= 1) client.Send("G_LIST");
  if (lists >= 2) client.Send("G_PLIST");
  return lists;
}

Percentiles Summarize(std::vector<double> samples) {
  if (samples.empty()) return {};
  std::sort(samples.begin(), samples.end());
  const size_t n = samples.size();
  const size_t p99 = std::min(n - 1, static_cast<size_t>(std::ceil(0.99 * static_cast<double>(n))) - 1);
  return {samples[n / 2], samples[p99], n};
}

Worker::~Worker() = default;

void Worker::Begin(bool otherMachines) {
  stop_ = false;
  thread_ = std::thread([this, otherMachines] {
    // Simulated machines yield to the server and the measuring clients.
    if (otherMachines) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
    while (!stop_) Step();
  });
}

void Worker::End() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

}  // namespace gorvane::bench
