// The deck installed with the programs, for the mains that fall back to it.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

#include "client/card_catalogue.h"

namespace gorvane {

// Found from where the running program is, so that an installation works
// under any prefix (GORVANE_BIN_TO_DATA: the data folder seen from the
// programs' folder). Empty when that is unknown.
inline std::string InstalledDeck() {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return (program.parent_path() / GORVANE_BIN_TO_DATA / "gorvane" / kCardListFile)
      .lexically_normal()
      .string();
}

}  // namespace gorvane
