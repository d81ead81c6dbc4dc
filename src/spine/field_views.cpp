// SPDX-License-Identifier: GPL-3.0-or-later
// Splitting a message into views of its fields. The rules are those of
// SplitDelimitedText; what differs is the speed: no string per field, and
// the end of a field or quote found eight bytes at a time.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "spine/codec.h"

namespace gorvane {
namespace {

constexpr char kQuote = '"';
constexpr uint64_t kOnes = 0x0101010101010101;
constexpr uint64_t kHigh = 0x8080808080808080;

// The high bit of each byte of word equal to the byte of pattern; only
// bytes after the first true one can be marked falsely.
constexpr uint64_t Equal(uint64_t word, uint64_t pattern) {
  const uint64_t same = word ^ pattern;
  return (same - kOnes) & ~same & kHigh;
}

// Eight bytes of text from p as a little-endian word. Near the end of the
// text the bytes past it read as 0 (a blank that is no quote), so the last
// field needs no byte-by-byte loop; the caller then sees a hit at the end.
uint64_t WordAt(std::string_view text, size_t p) {
  uint64_t word;
  if (text.size() - p >= 8) {
    std::memcpy(&word, text.data() + p, sizeof word);
    return word;
  }
  if (text.size() >= 8) {
    // The last eight bytes, shifted so that p comes first.
    std::memcpy(&word, text.data() + text.size() - 8, sizeof word);
    return word >> (8 * (8 - (text.size() - p)));
  }
  word = 0;
  std::memcpy(&word, text.data() + p, text.size() - p);
  return word;
}

// Where the unquoted field at p ends: at the first byte 0x00..0x20 or
// delimiter, or at the end.
size_t UnquotedEnd(std::string_view text, size_t p, char delimiter) {
  if constexpr (std::endian::native == std::endian::little) {
    const uint64_t delimiters = kOnes * static_cast<unsigned char>(delimiter);
    for (; p < text.size(); p += 8) {
      const uint64_t word = WordAt(text, p);
      // Bytes below 0x21, and bytes equal to the delimiter.
      const uint64_t hits = ((word - kOnes * 0x21) & ~word & kHigh) | Equal(word, delimiters);
      if (hits != 0) return std::min(p + static_cast<size_t>(std::countr_zero(hits)) / 8, text.size());
    }
    return text.size();
  }
  while (p < text.size() && !SeparatesFields(text[p]) && text[p] != delimiter) ++p;
  return p;
}

// The first double quote at or after p, or the end.
size_t NextQuote(std::string_view text, size_t p) {
  if constexpr (std::endian::native == std::endian::little) {
    for (; p < text.size(); p += 8) {
      const uint64_t hits = Equal(WordAt(text, p), kOnes * static_cast<unsigned char>(kQuote));
      if (hits != 0) return std::min(p + static_cast<size_t>(std::countr_zero(hits)) / 8, text.size());
    }
    return text.size();
  }
  while (p < text.size() && text[p] != kQuote) ++p;
  return p;
}

}  // namespace

void FieldViews::Split(std::string_view text, char delimiter) {
  data_ = fields_;
  size_ = 0;
  unquotedSize_ = 0;
  text_ = text;
  delimiter_ = delimiter;
  const size_t n = text.size();
  size_t p = 0;
  const auto skipBlanks = [&] {
    while (p < n && SeparatesFields(text[p])) ++p;
  };
  skipBlanks();
  while (p < n) {
    if (text[p] == kQuote) {
      p = QuotedField(p + 1);
    } else {
      const size_t end = UnquotedEnd(text, p, delimiter);
      Add(text.substr(p, end - p));
      p = end;
    }
    skipBlanks();
    if (p < n && text[p] == delimiter) {
      if (p == n - 1) Add({});
      ++p;
      skipBlanks();
    }
  }
}

size_t FieldViews::QuotedField(size_t content) {
  const size_t n = text_.size();
  size_t p = content;
  // Once a doubled quote has made a copy necessary: where the part of the
  // content not yet copied begins, and where the copy begins.
  size_t uncopied = SIZE_MAX;
  size_t copyStart = 0;
  const auto copy = [&](size_t end) {
    std::memcpy(unquoted_.data() + unquotedSize_, text_.data() + uncopied, end - uncopied);
    unquotedSize_ += end - uncopied;
  };
  for (;;) {
    const size_t q = NextQuote(text_, p);
    if (q == n) break;
    if (q + 1 < n && text_[q + 1] == kQuote) {
      if (uncopied == SIZE_MAX) {
        // Room for every field of the text at once: the buffer must never
        // move under the views already handed out.
        if (unquoted_.size() < n) unquoted_.resize(n);
        copyStart = unquotedSize_;
        uncopied = content;
      }
      copy(q + 1);
      uncopied = q + 2;
      p = q + 2;
      continue;
    }
    // The closing quote.
    if (uncopied == SIZE_MAX) {
      Add(text_.substr(content, q - content));
    } else {
      copy(q);
      Add(Unquoted(copyStart));
    }
    return q + 1;
  }
  // No closing quote: the field runs to the end of the text less its last
  // byte.
  std::string_view field = text_.substr(content);
  if (uncopied != SIZE_MAX) {
    copy(n);
    field = Unquoted(copyStart);
  }
  if (!field.empty()) field.remove_suffix(1);
  Add(field);
  return n;
}

void FieldViews::Grow() {
  // Most fields end at a delimiter.
  const auto delimiters = static_cast<size_t>(std::count(text_.begin(), text_.end(), delimiter_));
  const size_t capacity = std::max({delimiters + 2, capacity_ * 2, heap_.size()});
  // Resizing the heap keeps the fields already in it; those still inline
  // are copied over. Later splits go on using the heap.
  heap_.resize(capacity);
  if (fields_ == inline_.data()) std::copy_n(inline_.data(), size_, heap_.data());
  fields_ = heap_.data();
  data_ = fields_;
  capacity_ = heap_.size();
}

}  // namespace gorvane
