// SPDX-License-Identifier: GPL-3.0-or-later
#include "spine/TVR1Util.h"

#include <cstdio>

namespace gorvane {

Rgb ColourForKind(int kind) {
  switch (kind) {
    case kRed:
      return {255, 0, 0};
    case kGreen:
      return {0, 128, 0};
    default:
      return {0, 0, 0};
  }
}

std::string FormatTimestamp(const LocalTime& time) {
  char text[16];
  std::snprintf(text, sizeof text, "[%02d:%02d:%02d] ", time.hour % 100, time.minute % 100,
                time.second % 100);
  return text;
}

void Console::AppendConsoleLine(std::string_view text, int kind) {
  const LocalTime now = clock_.Now();
  if (stampLength_ == 0 || now != stampTime_) {
    line_ = FormatTimestamp(now);
    stampLength_ = line_.size();
    stampTime_ = now;
  }
  line_.resize(stampLength_);
  line_.append(text);
  view_.AddLine(line_, ColourForKind(kind));
  // One huge line does not keep a huge buffer.
  if (line_.capacity() > 64 * 1024) {
    line_.resize(stampLength_);
    line_.shrink_to_fit();
  }
}

}  // namespace gorvane
