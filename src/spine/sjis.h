// SPDX-License-Identifier: GPL-3.0-or-later
// Code page 932 (Shift-JIS with the Microsoft and NEC extensions) at the edges.
// Everything inside the logic stays in code page 932 bytes; only views and
// sources of literal text convert.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace gorvane::sjis {

// Whether a byte starts a double-byte character of code page 932.
constexpr bool IsLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// Turns code page 932 bytes into UTF-8 for display. A byte that does not
// start a valid character, and a lead byte cut off at the end, each show as
// U+FFFD so that nothing disappears silently from the screen.
std::string ToUtf8(std::string_view cp932);

// Turns UTF-8 into code page 932, or nothing when some character has no
// code page 932 form (or the UTF-8 is malformed).
std::optional<std::string> FromUtf8(std::string_view utf8);

// UTF-8 from outside the program (a file path) as code page 932 for a
// message: a character with no code page 932 form, or a malformed byte,
// shows as '?'.
std::string FromUtf8Lossy(std::string_view utf8);

// Literal program text written in UTF-8 in the sources, as code page 932.
// Every literal the program uses is representable; a mistake is a bug, so
// it throws std::logic_error rather than send altered text.
std::string Text(std::string_view utf8);

// One character as UTF-8, appended.
void AppendUtf8(std::string& out, char32_t c);
// The next character of well-formed UTF-8 (no overlong forms, no
// surrogates, nothing past U+10FFFF), at moved past it; kNotUtf8 and at
// left where it was when the bytes there are no such character.
inline constexpr char32_t kNotUtf8 = 0xFFFFFFFF;
char32_t NextUtf8(std::string_view utf8, size_t& at);

// Whether a UTF-8 text can be held in code page 932 without loss.
bool Representable(std::string_view utf8);

// A string literal as a template argument, for the literal below.
template <size_t N>
struct Utf8Literal {
  char bytes[N];
  // Implicit: the compiler makes it from the literal.
  constexpr Utf8Literal(const char (&text)[N]) {
    for (size_t i = 0; i < N; ++i) bytes[i] = text[i];
  }
  constexpr std::string_view view() const { return {bytes, N - 1}; }
};

}  // namespace gorvane::sjis

namespace gorvane {

// "SYS: あなたの手番です！"_cp932: the program's own fixed text in code page
// 932, converted on first use and kept, so a message handler that prints it
// pays nothing for the conversion.
template <sjis::Utf8Literal kText>
const std::string& operator""_cp932() {
  static const std::string text = sjis::Text(kText.view());
  return text;
}

}  // namespace gorvane
