// SPDX-License-Identifier: GPL-3.0-or-later
#include "spine/console_lines.h"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace gorvane {

void ConsoleLines::Add(std::string_view cp932Line, Rgb colour) {
  const size_t length = cp932Line.size();
  if (length > std::numeric_limits<uint32_t>::max()) throw std::length_error("console line too long");
  Line line{0, 0, static_cast<uint32_t>(length), colour};
  if (length == 0) {
    // Holds no bytes, so it needs no block (there may be none yet).
    lines_.push_back(line);
    return;
  }
  if (length > kBlockSize / 4) {
    // A long line in a block of exactly its size: it wastes nothing and
    // leaves the short-line block as it was.
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(length));
    line.block = static_cast<uint32_t>(blocks_.size() - 1);
  } else {
    if (blockUsed_ + length > kBlockSize) {
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlockSize));
      shortBlock_ = blocks_.size() - 1;
      blockUsed_ = 0;
    }
    line.block = static_cast<uint32_t>(shortBlock_);
    line.offset = static_cast<uint32_t>(blockUsed_);
    blockUsed_ += length;
  }
  std::memcpy(blocks_[line.block].get() + line.offset, cp932Line.data(), length);
  lines_.push_back(line);
  bytes_ += length;
}

}  // namespace gorvane
