// SPDX-License-Identifier: GPL-3.0-or-later
// The log's own defence: a client must not be able to fill the host's disk
// through the log. Every kind of line about one address is written at most
// so many times per window; what is held back is told in one summary line
// when the burst ends.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "server/base/limits.h"

namespace gorvane::server {

class LogLimit {
 public:
  explicit LogLimit(size_t linesPerWindow = 20, Duration window = std::chrono::seconds(10))
      : lines_(linesPerWindow), window_(window) {}

  // Whether a line of this kind about this address may be written now; one
  // that may not is counted for the burst's summary.
  bool Admit(std::string_view address, std::string_view kind, TimePoint now);
  // "<kind> from <address>: ... and N more like it" for each burst whose
  // window has passed, and forgets the quiet ones.
  std::vector<std::string> Summaries(TimePoint now);
  // When Summaries next has something to say, for the loop's wait.
  TimePoint nextSummary() const { return nextSummary_; }

 private:
  struct Burst {
    TimePoint since;
    size_t written = 0;
    size_t held = 0;
  };
  size_t lines_;
  Duration window_;
  std::unordered_map<std::string, Burst> bursts_;  // by kind, NUL, address
  TimePoint nextSummary_ = TimePoint::max();
};

}  // namespace gorvane::server
