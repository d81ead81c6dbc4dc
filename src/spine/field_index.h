// SPDX-License-Identifier: GPL-3.0-or-later
// The comma fields of every message in a stretch of received bytes, found
// in one pass over the bytes rather than message by message: the
// terminators, blanks, commas and quotes of 64 bytes at a time become bit
// masks, the fields' edges fall out of a few operations on those masks, and
// the fields of all messages are made in one loop. MessageFramer builds it
// over each read and hands each message its fields (FieldViews::Adopt).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "spine/codec.h"

namespace gorvane {

class FieldIndex {
 public:
  // Bytes indexed at once at most (positions are kept in 16 bits); larger
  // reads are indexed a window at a time.
  static constexpr size_t kWindow = 8192;

  // Indexes bytes (at most kWindow of them), which must begin a message.
  // Fields are views into bytes, or into this object where doubled quotes
  // had to be made single; they stay valid until the next Build.
  void Build(std::string_view bytes);

  // The terminators (NUL bytes) of the 64 bytes from block * 64, one bit each.
  size_t blocks() const { return blockCount_; }
  uint64_t terminators(size_t block) const { return blocks_[block].nul; }

  // How far the fields run up to and including one position, and how many
  // places there are in need of the byte-by-byte rules (SplitDelimitedText)
  // because the bit masks alone would go wrong there.
  struct Mark {
    uint32_t fields = 0;
    uint32_t odd = 0;
  };
  Mark MarkAt(size_t position) const {
    const Block& block = blocks_[position / 64];
    const uint64_t upTo = ~uint64_t{0} >> (63 - position % 64);
    Mark mark{(block.edgesBefore + CountBits(block.edge & upTo)) / 2, block.oddBefore};
    if (block.odd != 0) mark.odd += CountBits(block.odd & upTo);
    return mark;
  }
  // The fields of a message between two marks, when the masks found
  // exactly SplitCommaText's fields.
  bool Fields(const Mark& from, const Mark& to, FieldList& fields) const {
    if (to.odd != from.odd) return false;
    fields = FieldList(views_.data() + from.fields, to.fields - from.fields);
    return true;
  }

  // Which of 64 bytes are what, one bit each.
  struct Classes {
    uint64_t nul;    // 0x00
    uint64_t blank;  // 0x00..0x20
    uint64_t comma;
    uint64_t quote;
  };

  // std::popcount needs an instruction the x86-64 baseline lacks; without
  // it the library call costs more than these few operations.
  static constexpr uint32_t CountBits(uint64_t x) {
#if defined(__POPCNT__)
    return static_cast<uint32_t>(__builtin_popcountll(x));
#else
    x = x - ((x >> 1) & 0x5555555555555555);
    x = (x & 0x3333333333333333) + ((x >> 2) & 0x3333333333333333);
    x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0f;
    return static_cast<uint32_t>((x * 0x0101010101010101) >> 56);
#endif
  }

 private:
  // What the masks found in 64 bytes, one bit per byte, and the counts of
  // the blocks before.
  struct Block {
    uint64_t nul;
    // Where a field starts, and where the separator after it starts.
    uint64_t edge;
    // The second quote of a doubled quote.
    uint64_t pair;
    uint64_t odd;
    uint32_t edgesBefore;
    uint32_t oddBefore;
  };

  void Classify(std::string_view bytes);
  void Flatten(size_t size);
  void MakeFields(std::string_view bytes);
  void Unpair(std::string_view bytes);

  size_t blockCount_ = 0;
  std::vector<Classes> classes_;
  std::vector<Block> blocks_;
  // Positions: the edges of all fields in order (start, end, start, ...)
  // and the second quotes of pairs.
  std::vector<uint16_t> edges_;
  size_t edgeCount_ = 0;
  std::vector<uint16_t> pairs_;
  size_t pairCount_ = 0;
  std::vector<std::string_view> views_;
  // Quoted fields with their doubled quotes made single.
  std::string unpaired_;
};

}  // namespace gorvane
