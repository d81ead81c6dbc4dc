// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/version.h"

namespace gorvane {

std::string VersionLabel(const Version& version) {
  std::string numbers;
  for (size_t i = 0; i < version.size(); ++i) {
    if (i > 0) numbers += '.';
    numbers += std::to_string(version[i]);
  }
  const uint16_t major = version[0];
  if (major >= ReleaseNames.size()) return numbers;
  return "Version " + numbers + "[" + ReleaseNames[major] + "]";
}

}  // namespace gorvane
