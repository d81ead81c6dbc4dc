// SPDX-License-Identifier: GPL-3.0-or-later
#include "spine/sjis.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>

namespace gorvane::sjis {
namespace {

// glibc's "CP932" is the Microsoft table: 0x5C stays a backslash, 0x8160 is
// U+FF5E and the NEC rows (circled digits at 0x8740) exist. "SHIFT_JIS" is not.
constexpr const char* kCodePage = "CP932";

constexpr char32_t kNone = kNotUtf8;
constexpr uint16_t kNoBytes = 0;
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) {
      throw std::runtime_error("iconv cannot convert between code page 932 and UTF-32");
    }
  }
  ~Iconv() { iconv_close(cd_); }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;

  // Converts the whole input or nothing; the error number when nothing.
  int Convert(std::string_view in, char* out, size_t& outSize) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = out;
    size_t dstLeft = outSize;
    const size_t rc = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
    if (rc == static_cast<size_t>(-1)) return errno;
    if (srcLeft != 0) return EINVAL;
    outSize -= dstLeft;
    return 0;
  }

 private:
  iconv_t cd_;
};

// Both directions of code page 932 as tables, read once from the system's
// converter: opening a converter costs far more than a line of text, and a
// table answers a character in a few instructions. Built on first use and
// never changed afterwards.
class Tables {
 public:
  Tables() : singles_{}, pairs_(std::make_unique<std::array<char32_t, 256>[]>(256)) {
    singles_.fill(kNone);
    for (auto& row : std::span(pairs_.get(), 256)) row.fill(kNone);
    Iconv decoder("UTF-32LE", kCodePage);
    for (unsigned lead = 0; lead < 256; ++lead) {
      const char one[1] = {static_cast<char>(lead)};
      const int error = DecodeOne(decoder, std::string_view(one, 1), singles_[lead]);
      // EINVAL: the byte starts a two-byte character.
      if (error != EINVAL) continue;
      leads_[lead] = true;
      for (unsigned trail = 0; trail < 256; ++trail) {
        const char two[2] = {static_cast<char>(lead), static_cast<char>(trail)};
        DecodeOne(decoder, std::string_view(two, 2), pairs_[lead][trail]);
      }
    }
    // Several byte pairs may stand for one character (the NEC and IBM
    // rows); asking the converter for each character keeps its choice.
    encode_ = std::make_unique<uint16_t[]>(0x10000);
    Iconv encoder(kCodePage, "UTF-32LE");
    for (char32_t c = 0; c < 0x10000; ++c) {
      encode_[c] = kNoBytes;
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      const char in[4] = {static_cast<char>(c & 0xFF), static_cast<char>((c >> 8) & 0xFF), 0, 0};
      char out[8];
      size_t size = sizeof out;
      if (encoder.Convert(std::string_view(in, 4), out, size) != 0) continue;
      if (size == 1) {
        encode_[c] = static_cast<uint16_t>(0x100 | static_cast<unsigned char>(out[0]));
      } else if (size == 2) {
        encode_[c] = static_cast<uint16_t>(static_cast<unsigned char>(out[0]) << 8 |
                                           static_cast<unsigned char>(out[1]));
      }
    }
  }

  // The character of one byte, or kNone when it starts a pair or nothing.
  char32_t Single(unsigned char byte) const { return singles_[byte]; }
  bool IsLead(unsigned char byte) const { return leads_[byte]; }
  char32_t Pair(unsigned char lead, unsigned char trail) const { return pairs_[lead][trail]; }
  // 0x100 | byte for a one-byte character, lead << 8 | trail for a pair
  // (a lead byte is never below 0x81), 0 when the character has no form.
  uint16_t Encoded(char32_t c) const { return c < 0x10000 ? encode_[c] : kNoBytes; }

 private:
  static int DecodeOne(Iconv& decoder, std::string_view in, char32_t& out) {
    unsigned char utf32[8];
    size_t size = sizeof utf32;
    const int error = decoder.Convert(in, reinterpret_cast<char*>(utf32), size);
    if (error == 0 && size == 4) {
      out = static_cast<char32_t>(utf32[0] | utf32[1] << 8 | utf32[2] << 16 | utf32[3] << 24);
    }
    return error;
  }

  std::array<char32_t, 256> singles_;
  std::array<bool, 256> leads_{};
  std::unique_ptr<std::array<char32_t, 256>[]> pairs_;
  std::unique_ptr<uint16_t[]> encode_;
};

const Tables& TheTables() {
  static const Tables tables;
  return tables;
}

}  // namespace

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

char32_t NextUtf8(std::string_view utf8, size_t& at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(utf8[i]); };
  const unsigned char first = byte(at);
  if (first < 0x80) {
    ++at;
    return first;
  }
  size_t length = 0;
  char32_t c = 0;
  char32_t least = 0;
  if (first >= 0xC2 && first <= 0xDF) {
    length = 2;
    c = first & 0x1F;
    least = 0x80;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3;
    c = first & 0x0F;
    least = 0x800;
  } else if (first >= 0xF0 && first <= 0xF4) {
    length = 4;
    c = first & 0x07;
    least = 0x10000;
  } else {
    return kNone;
  }
  if (utf8.size() - at < length) return kNone;
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(at + i);
    if ((next & 0xC0) != 0x80) return kNone;
    c = c << 6 | (next & 0x3F);
  }
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return kNone;
  at += length;
  return c;
}

std::string ToUtf8(std::string_view cp932) {
  // Plain ASCII is by far the most common text on the wire: copy it as it is.
  size_t ascii = 0;
  while (ascii < cp932.size() && static_cast<unsigned char>(cp932[ascii]) < 0x80) ++ascii;
  if (ascii == cp932.size()) return std::string(cp932);
  const Tables& tables = TheTables();
  std::string out;
  out.reserve(cp932.size() + cp932.size() / 2 + 4);
  out.append(cp932.substr(0, ascii));
  for (size_t i = ascii; i < cp932.size(); ++i) {
    const auto byte = static_cast<unsigned char>(cp932[i]);
    if (const char32_t single = tables.Single(byte); single != kNone) {
      AppendUtf8(out, single);
      continue;
    }
    if (tables.IsLead(byte) && i + 1 < cp932.size()) {
      const char32_t pair = tables.Pair(byte, static_cast<unsigned char>(cp932[i + 1]));
      if (pair != kNone) {
        AppendUtf8(out, pair);
        ++i;
        continue;
      }
    }
    // A byte that starts nothing, or a lead byte without its trail byte:
    // shown, and the next byte read on its own.
    out += kReplacement;
  }
  return out;
}

std::optional<std::string> FromUtf8(std::string_view utf8) {
  const Tables& tables = TheTables();
  std::string out;
  out.reserve(utf8.size());
  size_t at = 0;
  while (at < utf8.size()) {
    const char32_t c = NextUtf8(utf8, at);
    if (c == kNone) return std::nullopt;
    const uint16_t bytes = tables.Encoded(c);
    if (bytes == kNoBytes) return std::nullopt;
    if (bytes >> 8 != 0x01) out += static_cast<char>(bytes >> 8);
    out += static_cast<char>(bytes & 0xFF);
  }
  return out;
}

std::string FromUtf8Lossy(std::string_view utf8) {
  if (auto whole = FromUtf8(utf8)) return *std::move(whole);
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    const auto one = FromUtf8(utf8.substr(i, length));
    out += one ? *one : "?";
    i += std::min(length, utf8.size() - i);
  }
  return out;
}

std::string Text(std::string_view utf8) {
  auto converted = FromUtf8(utf8);
  if (!converted) throw std::logic_error("text has no code page 932 form: " + std::string(utf8));
  return *std::move(converted);
}

bool Representable(std::string_view utf8) { return FromUtf8(utf8).has_value(); }

}  // namespace gorvane::sjis
