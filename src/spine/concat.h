// SPDX-License-Identifier: GPL-3.0-or-later
// Building a text from parts with one allocation, where chained operator+
// would make a temporary string per part.
#pragma once

#include <string>
#include <string_view>

namespace gorvane {

template <typename... Parts>
std::string Concat(const Parts&... parts) {
  const std::string_view views[] = {std::string_view(parts)...};
  size_t size = 0;
  for (const std::string_view part : views) size += part.size();
  std::string text;
  text.reserve(size);
  for (const std::string_view part : views) text.append(part);
  return text;
}

}  // namespace gorvane
