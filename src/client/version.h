// SPDX-License-Identifier: GPL-3.0-or-later
// The program's version and the label the settings dialog shows for it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace gorvane {

using Version = std::array<uint16_t, 4>;  // major, minor, release, build

inline constexpr Version kVersion = {0, 5, 0, 86};

inline constexpr std::array<const char*, 9> ReleaseNames = {
    "Orvia", "Merivelle", "Tessam", "Quenna", "Tarvold", "Brinn", "Ysmara", "Perlin", "Callisander"};

// "Version 0.5.0.86[Orvia]"; the bare numbers when the major number has no
// release name.
std::string VersionLabel(const Version& version);

}  // namespace gorvane
