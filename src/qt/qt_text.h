// SPDX-License-Identifier: GPL-3.0-or-later
// Conversion between the logic's code page 932 bytes and Qt's strings, for
// the windows only.
#pragma once

#include <QString>
#include <optional>
#include <string>
#include <string_view>

namespace gorvane {

QString ToQString(std::string_view cp932);

// Nothing when the text holds a character code page 932 cannot carry.
std::optional<std::string> FromQString(const QString& text);

}  // namespace gorvane
