// SPDX-License-Identifier: GPL-3.0-or-later
// The lines of a console or of the debug log, kept compactly: every line's
// code page 932 bytes side by side in large blocks, and per line only where
// its bytes are and its colour. Nothing is laid out here; a view converts and
// lays out only the lines it shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string_view>
#include <vector>

#include "spine/ports.h"

namespace gorvane {

class ConsoleLines {
 public:
  // Lines are never removed: the consoles are never cleared or shortened.
  void Add(std::string_view cp932Line, Rgb colour);

  size_t size() const { return lines_.size(); }
  bool empty() const { return lines_.empty(); }
  std::string_view Text(size_t line) const {
    const Line& l = lines_[line];
    if (l.length == 0) return {};
    return {blocks_[l.block].get() + l.offset, l.length};
  }
  Rgb Colour(size_t line) const { return lines_[line].colour; }
  // Bytes of text held, for the curious (the benchmarks).
  size_t bytes() const { return bytes_; }

 private:
  struct Line {
    uint32_t block;
    uint32_t offset;
    uint32_t length;
    Rgb colour;
  };
  // Blocks of this size take the short lines; a long line gets a block of
  // its own, so no block is ever copied or grown.
  static constexpr size_t kBlockSize = 64 * 1024;

  // A deque grows by small pieces: no doubling, no copying of the index.
  std::deque<Line> lines_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t blockUsed_ = kBlockSize;  // of the last short-line block; full: none yet
  size_t shortBlock_ = 0;
  size_t bytes_ = 0;
};

}  // namespace gorvane
