#pragma once

#include "core/ports.h"

namespace gorvane {

class SystemClock : public Clock {
 public:
  LocalTime Now() const override;
};

}  // namespace gorvane
