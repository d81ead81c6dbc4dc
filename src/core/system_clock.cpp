#include "core/system_clock.h"

#include <ctime>

namespace gorvane {

LocalTime SystemClock::Now() const {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return {local.tm_hour, local.tm_min, local.tm_sec};
}

}  // namespace gorvane
