// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/store/moderation.h"

#include <chrono>

namespace gorvane::server {

int64_t SystemSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace gorvane::server
