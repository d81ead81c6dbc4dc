#include "core/sjis.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace gorvane::sjis {
namespace {

// glibc's "CP932" is the Microsoft table: 0x5C stays a backslash, 0x8160 is
// U+FF5E and the NEC rows (circled digits at 0x8740) exist. "SHIFT_JIS" is not.
constexpr const char* kCodePage = "CP932";

class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) {
      throw std::runtime_error("iconv cannot convert between code page 932 and UTF-8");
    }
  }
  ~Converter() { iconv_close(cd_); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Converts as much as possible. On an invalid or cut-off sequence calls
  // onBad(out) and skips one input byte (or stops, when strict).
  template <typename OnBad>
  bool Run(std::string_view in, std::string& out, OnBad onBad) {
    out.clear();
    out.reserve(in.size() * 2 + 4);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char buffer[1024];
    while (srcLeft > 0) {
      char* dst = buffer;
      size_t dstLeft = sizeof buffer;
      const size_t rc = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
      out.append(buffer, static_cast<size_t>(dst - buffer));
      if (rc != static_cast<size_t>(-1)) continue;
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL: one bad byte.
      if (!onBad(out)) return false;
      ++src;
      --srcLeft;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    return true;
  }

 private:
  iconv_t cd_;
};

}  // namespace

std::string ToUtf8(std::string_view cp932) {
  // Plain ASCII is by far the most common text on the wire: skip iconv.
  bool ascii = true;
  for (unsigned char c : cp932) {
    if (c >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) return std::string(cp932);
  Converter converter("UTF-8", kCodePage);
  std::string out;
  converter.Run(cp932, out, [](std::string& o) {
    o += "\xEF\xBF\xBD";
    return true;
  });
  return out;
}

std::optional<std::string> FromUtf8(std::string_view utf8) {
  Converter converter(kCodePage, "UTF-8");
  std::string out;
  if (!converter.Run(utf8, out, [](std::string&) { return false; })) return std::nullopt;
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
