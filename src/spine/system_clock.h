// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <ctime>

#include "spine/ports.h"

namespace gorvane {

// The local clock. The time of day is worked out anew only when the second
// has changed: lines that come in a burst cost a look at the clock each.
class SystemClock : public Clock {
 public:
  LocalTime Now() const override;

 private:
  mutable std::time_t last_ = -1;
  mutable LocalTime local_;
};

}  // namespace gorvane
