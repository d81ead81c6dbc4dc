// SPDX-License-Identifier: GPL-3.0-or-later
// The player's profile: display name, server address, login name, password.
#pragma once

#include <string>

namespace gorvane {

// Used when the settings file has no address.
inline constexpr const char* kDefaultServerAddress = "127.0.0.1";

struct Profile {
  std::string displayName;
  std::string serverAddress;
  std::string loginName;
  std::string password;
};

}  // namespace gorvane
