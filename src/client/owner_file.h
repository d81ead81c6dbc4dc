// SPDX-License-Identifier: GPL-3.0-or-later
// The player's own small files (the settings, the server keys): read whole,
// written whole beside the old file and renamed over it, readable by the
// owner alone.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace gorvane {

// The file's bytes; empty when it does not exist, nothing when it exists but
// cannot be read (so that a write never replaces a file it could not see).
std::optional<std::string> LoadFileBytes(const std::string& path);

// Replaces the file's bytes (a symbolic link keeps pointing at the file it
// names); a new file is 0600 and an old one loses its group and other bits.
// False when nothing could be written; the old file is then as it was.
bool SaveOwnerOnly(const std::string& path, std::string_view bytes);

}  // namespace gorvane
