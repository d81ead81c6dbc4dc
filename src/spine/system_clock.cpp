// SPDX-License-Identifier: GPL-3.0-or-later
#include "spine/system_clock.h"

namespace gorvane {

LocalTime SystemClock::Now() const {
  const std::time_t now = std::time(nullptr);
  if (now != last_) {
    std::tm local{};
    localtime_r(&now, &local);
    local_ = {local.tm_hour, local.tm_min, local.tm_sec};
    last_ = now;
  }
  return local_;
}

}  // namespace gorvane
