// SPDX-License-Identifier: GPL-3.0-or-later
#include "spine/console_lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace gorvane {
namespace {

// Lines of every size, short ones filling the shared blocks past their ends
// and long ones in blocks of their own, come back byte for byte, in order,
// each with its colour.
TEST(ConsoleLines, GiveBackEveryLineByteForByteWhateverItsLength) {
  const size_t lengths[] = {0, 1, 100, 16383, 16384, 16385, 65535, 65536, 70000, 3};
  ConsoleLines lines;
  std::vector<std::string> added;
  size_t bytes = 0;
  for (size_t i = 0; i < 400; ++i) {
    const size_t length = lengths[i % std::size(lengths)] + i % 7;
    std::string line(length, '\0');
    for (size_t k = 0; k < length; ++k) line[k] = static_cast<char>((i * 31 + k * 7) % 256);
    const Rgb colour{static_cast<uint8_t>(i), static_cast<uint8_t>(i * 3), static_cast<uint8_t>(i * 5)};
    lines.Add(line, colour);
    added.push_back(std::move(line));
    bytes += length;
  }
  ASSERT_EQ(lines.size(), added.size());
  // An empty line read back before any line has bytes.
  ConsoleLines first;
  first.Add("", Rgb{});
  EXPECT_EQ(first.Text(0), "");
  EXPECT_EQ(lines.bytes(), bytes);
  for (size_t i = 0; i < added.size(); ++i) {
    ASSERT_EQ(lines.Text(i), added[i]) << "line " << i;
    EXPECT_EQ(lines.Colour(i),
              (Rgb{static_cast<uint8_t>(i), static_cast<uint8_t>(i * 3), static_cast<uint8_t>(i * 5)}));
  }
}

}  // namespace
}  // namespace gorvane
