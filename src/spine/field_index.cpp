// SPDX-License-Identifier: GPL-3.0-or-later
// The bit-parallel side of splitting comma text. For each 64 bytes:
//
// - quote regions: the prefix XOR of the quote mask is set from an opening
//   quote up to its closing quote; a doubled quote leaves a one-byte gap,
//   which is itself a quote, so it separates nothing;
// - separators: blanks (0x00..0x20) and commas outside quote regions;
// - fields: the runs of non-separators; a field's start is where such a
//   run begins, its end where the separator after it begins.
//
// That is SplitCommaText exactly when every quote opens a field, closes it
// just before a separator, or belongs to a doubled pair, when every quote
// is closed before the terminator, and when no comma stands where an empty
// field would come out (first or last in the text, or two with only blanks
// between). Places where this does not hold are counted as odd; a message
// with any is split from its text by the careful, byte-by-byte rules.
#include "spine/field_index.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace gorvane {
namespace {

using Classes = FieldIndex::Classes;

#if defined(__SSE2__)
uint64_t Bits16(__m128i matches) { return static_cast<uint32_t>(_mm_movemask_epi8(matches)); }

// The classes of the 64 bytes from p.
Classes ClassifyBytes(const char* p) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i blank = _mm_set1_epi8(0x20);
  const __m128i comma = _mm_set1_epi8(',');
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
  const __m128i v3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
  const auto equal = [&](__m128i c) {
    return Bits16(_mm_cmpeq_epi8(v0, c)) | Bits16(_mm_cmpeq_epi8(v1, c)) << 16 |
           Bits16(_mm_cmpeq_epi8(v2, c)) << 32 | Bits16(_mm_cmpeq_epi8(v3, c)) << 48;
  };
  // Unsigned v <= 0x20: the minimum of the two is v.
  const auto atMost = [](__m128i v, __m128i c) { return Bits16(_mm_cmpeq_epi8(_mm_min_epu8(v, c), v)); };
  return Classes{
      equal(zero),
      atMost(v0, blank) | atMost(v1, blank) << 16 | atMost(v2, blank) << 32 | atMost(v3, blank) << 48,
      equal(comma), equal(quote)};
}

// The positions of the set bits of every byte value, lowest first, and
// their number: writing out a mask's bits a byte at a time needs no branch
// on how many there are.
struct BitPositions {
  std::array<std::array<uint8_t, 8>, 256> at{};
  std::array<uint8_t, 256> count{};
};

constexpr BitPositions MakeBitPositions() {
  BitPositions table;
  for (unsigned value = 0; value < 256; ++value) {
    uint8_t n = 0;
    for (uint8_t bit = 0; bit < 8; ++bit) {
      if ((value >> bit & 1) != 0) table.at[value][n++] = bit;
    }
    table.count[value] = n;
  }
  return table;
}

constexpr BitPositions kBitPositions = MakeBitPositions();

// Writes base + i for every set bit i of two masks, lowest first, each from
// its out on, and moves the outs to their ends; writes up to eight entries
// past the ends.
void FlattenBlock(uint64_t a, uint64_t b, uint16_t base, uint16_t*& outA, uint16_t*& outB) {
  const __m128i zero = _mm_setzero_si128();
  __m128i offset = _mm_set1_epi16(static_cast<int16_t>(base));
  const __m128i eight = _mm_set1_epi16(8);
  const auto put = [&](uint16_t*& out, uint8_t value) {
    const __m128i at = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kBitPositions.at[value].data()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_add_epi16(_mm_unpacklo_epi8(at, zero), offset));
    out += kBitPositions.count[value];
  };
  for (int byte = 0; byte < 8; ++byte, a >>= 8, b >>= 8, offset = _mm_add_epi16(offset, eight)) {
    put(outA, static_cast<uint8_t>(a));
    put(outB, static_cast<uint8_t>(b));
  }
}
#else
Classes ClassifyBytes(const char* p) {
  Classes c{0, 0, 0, 0};
  for (unsigned i = 0; i < 64; ++i) {
    const auto byte = static_cast<unsigned char>(p[i]);
    const uint64_t bit = uint64_t{1} << i;
    if (byte == 0) c.nul |= bit;
    if (byte <= 0x20) c.blank |= bit;
    if (byte == ',') c.comma |= bit;
    if (byte == '"') c.quote |= bit;
  }
  return c;
}

void FlattenBlock(uint64_t a, uint64_t b, uint16_t base, uint16_t*& outA, uint16_t*& outB) {
  const auto put = [&](uint16_t*& out, uint64_t bits) {
    for (; bits != 0; bits &= bits - 1) *out++ = static_cast<uint16_t>(base + std::countr_zero(bits));
  };
  put(outA, a);
  put(outB, b);
}
#endif

// Bit i set when an odd number of bits 0..i of x are.
constexpr uint64_t PrefixXor(uint64_t x) {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

// The bit that goes out of the top of a mask shifted left by one, as bit 0
// of the next block's mask.
constexpr uint64_t Top(uint64_t bits) { return bits >> 63; }

}  // namespace

void FieldIndex::Build(std::string_view bytes) {
  bytes = bytes.substr(0, kWindow);
  blockCount_ = (bytes.size() + 63) / 64;
  // Every byte is at most one edge, and every field has two; positions
  // are written up to eight past the end.
  const size_t positions = blockCount_ * 64 + 16;
  if (edges_.size() < positions) {
    blocks_.resize(blockCount_);
    classes_.resize(blockCount_);
    edges_.resize(positions);
    pairs_.resize(positions);
    views_.resize(positions / 2);
  }
  Classify(bytes);
  Flatten(bytes.size());
  MakeFields(bytes);
  if (pairCount_ != 0) Unpair(bytes);
}

void FieldIndex::Classify(std::string_view bytes) {
  const size_t n = bytes.size();
  // What each block needs of the one before it.
  uint64_t quoted = 0;     // all ones while a quote region is open
  uint64_t lastField = 0;  // the last byte was part of a field
  uint64_t lastOut = 0;    // ... a quote outside a region (closing, or first of a pair)
  uint64_t lastQuote = 0;  // ... a quote
  uint64_t lastPlain = 0;  // ... a field byte outside regions, not a quote
  uint64_t lastMark = 1;   // ... a comma or a terminator; the start counts as one
  uint64_t carry = 0;      // carry of the blank-run addition
  // The classes first, in a loop of their own: fewer values live at once.
  // Past the end: zero bytes, blanks that terminate nothing.
  const size_t whole = n / 64;
  alignas(16) char tail[64] = {};
  std::memcpy(tail, bytes.data() + whole * 64, n - whole * 64);
  for (size_t b = 0; b < blockCount_; ++b)
    classes_[b] = ClassifyBytes(b < whole ? bytes.data() + b * 64 : tail);
  if (whole < blockCount_) classes_[whole].nul &= ~uint64_t{0} >> (64 - (n - whole * 64));
  for (size_t b = 0; b < blockCount_; ++b) {
    const Classes c = classes_[b];
    const uint64_t quote = c.quote;
    uint64_t in = PrefixXor(quote) ^ quoted;
    uint64_t odd = 0;
    // A quote left open ends with its message: the region stops at the
    // terminator, and the message is odd.
    for (uint64_t open = c.nul & in; open != 0; open = c.nul & in) {
      const int p = std::countr_zero(open);
      odd |= uint64_t{1} << p;
      in ^= ~uint64_t{0} << p;
    }
    quoted = static_cast<uint64_t>(static_cast<int64_t>(in) >> 63);

    const uint64_t separator = (c.blank | c.comma) & ~in;
    const uint64_t field = ~separator;
    const uint64_t fieldBefore = (field << 1) | lastField;
    lastField = Top(field);

    // Quotes inside regions open them (or are the second of a pair);
    // quotes outside close them (or are the first of a pair).
    const uint64_t opening = quote & in;
    const uint64_t out = quote & ~in;
    const uint64_t plain = ~(separator | in | quote);
    // A quote that opens inside a field, or field bytes right after a
    // closing quote.
    odd |= (opening & ((plain << 1) | lastPlain)) | (plain & ((out << 1) | lastOut));
    lastPlain = Top(plain);
    lastOut = Top(out);

    // Empty fields: what follows a comma or a terminator, past blanks, is
    // a comma or a terminator. Adding a bit at the start of a run of blanks
    // carries it to the first byte after the run.
    const uint64_t marks = (c.comma & ~in) | c.nul;
    const uint64_t blanks = c.blank & ~(c.nul | in);
    uint64_t next;
    const bool carried = __builtin_add_overflow(blanks, (marks << 1) | lastMark, &next);
    const bool carriedAgain = __builtin_add_overflow(next, carry, &next);
    carry = static_cast<uint64_t>(carried || carriedAgain);
    lastMark = Top(marks);
    odd |= next & ~blanks & marks;

    Block& block = blocks_[b];
    block.nul = c.nul;
    block.edge = (field & ~fieldBefore) | (separator & fieldBefore);
    block.pair = opening & ((quote << 1) | lastQuote);
    block.odd = odd;
    lastQuote = Top(quote);
  }
}

void FieldIndex::Flatten(size_t size) {
  uint16_t* edges = edges_.data();
  uint16_t* pairs = pairs_.data();
  uint32_t odd = 0;
  for (size_t b = 0; b < blockCount_; ++b) {
    Block& block = blocks_[b];
    block.edgesBefore = static_cast<uint32_t>(edges - edges_.data());
    block.oddBefore = odd;
    FlattenBlock(block.edge, block.pair, static_cast<uint16_t>(b * 64), edges, pairs);
    if (block.odd != 0) odd += CountBits(block.odd);
  }
  edgeCount_ = static_cast<size_t>(edges - edges_.data());
  // A field cut off by the end of the bytes ends there.
  std::fill_n(edges, 8, static_cast<uint16_t>(size));
  pairCount_ = static_cast<size_t>(pairs - pairs_.data());
}

void FieldIndex::MakeFields(std::string_view bytes) {
  // A field without doubled quotes is its bytes, or those between its quotes.
  const uint16_t* edge = edges_.data();
  for (size_t i = 0; i < edgeCount_ / 2; ++i, edge += 2) {
    const char* const start = bytes.data() + edge[0];
    const size_t quoted = *start == '"' ? 1 : 0;
    views_[i] = std::string_view(start + quoted, static_cast<size_t>(edge[1] - edge[0]) - 2 * quoted);
  }
}

void FieldIndex::Unpair(std::string_view bytes) {
  // The copies together are shorter than the bytes; short pieces are
  // copied 16 bytes at a time, so there is room for that much more.
  if (unpaired_.size() < bytes.size() + 16) unpaired_.resize(bytes.size() + 16);
  char* out = unpaired_.data();
  const char* const end = bytes.data() + bytes.size();
  const auto copy = [&](const char* from, const char* to) {
    // In a message cut short by the end of the bytes a field may end
    // inside its quotes; nothing of it is used, but nothing may break.
    const ptrdiff_t difference = to - from;
    const auto size = static_cast<size_t>(difference & ~(difference >> 63));
    if (size <= 16 && end - from >= 16) {
      std::memcpy(out, from, 16);
    } else {
      std::memcpy(out, from, size);
    }
    out += size;
  };
  size_t field = 0;
  size_t fieldEnd = 0;  // where the separator after the field is
  char* start = out;
  const char* from = nullptr;
  const auto finish = [&] {
    // The rest of the field, up to its closing quote.
    copy(from, bytes.data() + fieldEnd - 1);
    views_[field] = std::string_view(start, static_cast<size_t>(out - start));
  };
  for (size_t i = 0; i < pairCount_; ++i) {
    const size_t pair = pairs_[i];
    if (pair >= fieldEnd) {
      if (i != 0) finish();
      // The field holding the pair: the edges up to it are its start and
      // the two of every field before it.
      const Block& block = blocks_[pair / 64];
      field = (block.edgesBefore + CountBits(block.edge & (~uint64_t{0} >> (63 - pair % 64))) - 1) / 2;
      fieldEnd = edges_[2 * field + 1];
      start = out;
      from = bytes.data() + edges_[2 * field] + 1;
    }
    // Up to and including the first quote of the pair.
    copy(from, bytes.data() + pair);
    from = bytes.data() + pair + 1;
  }
  finish();
}

}  // namespace gorvane
