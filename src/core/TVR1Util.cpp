#include "core/TVR1Util.h"

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

void AppendConsoleLine(ConsoleView& console, const Clock& clock, std::string_view text, int kind) {
  std::string line = FormatTimestamp(clock.Now());
  line.append(text);
  console.AddLine(line, ColourForKind(kind));
}

}  // namespace gorvane
