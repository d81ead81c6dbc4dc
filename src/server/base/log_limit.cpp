// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/base/log_limit.h"

#include <algorithm>

namespace gorvane::server {

bool LogLimit::Admit(std::string_view address, std::string_view kind, TimePoint now) {
  std::string key;
  key.reserve(kind.size() + 1 + address.size());
  key.append(kind).push_back('\0');
  key.append(address);
  Burst& burst = bursts_[key];
  if (burst.written == 0 && burst.held == 0) burst.since = now;
  if (now - burst.since >= window_ && burst.held == 0) {
    burst = Burst{now, 0, 0};
  }
  if (burst.written < lines_) {
    ++burst.written;
    return true;
  }
  ++burst.held;
  nextSummary_ = std::min(nextSummary_, burst.since + window_);
  return false;
}

std::vector<std::string> LogLimit::Summaries(TimePoint now) {
  std::vector<std::string> lines;
  if (now < nextSummary_ && bursts_.size() < 4096) return lines;
  nextSummary_ = TimePoint::max();
  for (auto it = bursts_.begin(); it != bursts_.end();) {
    Burst& burst = it->second;
    if (now - burst.since < window_) {
      if (burst.held > 0) nextSummary_ = std::min(nextSummary_, burst.since + window_);
      ++it;
      continue;
    }
    if (burst.held > 0) {
      const size_t split = it->first.find('\0');
      lines.push_back(it->first.substr(0, split) + " from " + it->first.substr(split + 1) + ": ... and " +
                      std::to_string(burst.held) + " more like it");
    }
    it = bursts_.erase(it);
  }
  return lines;
}

}  // namespace gorvane::server
