// SPDX-License-Identifier: GPL-3.0-or-later
// The deck installed with the programs, for the server and the headless
// players that fall back to it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "rules/card_catalogue.h"

namespace gorvane {

// Found from where the running program is, so that an installation works
// under any prefix (binToData: the data folder seen from the programs'
// folder, as the build knows it). Empty when that is unknown.
inline std::string InstalledDeck(std::string_view binToData) {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return (program.parent_path() / binToData / "gorvane" / kCardListFile).lexically_normal().string();
}

}  // namespace gorvane
