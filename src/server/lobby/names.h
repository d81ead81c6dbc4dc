// SPDX-License-Identifier: GPL-3.0-or-later
// Names users go by in the lobby: one rule for joining and renaming, so that
// nobody can pass for another user or for the client's own system lines.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace gorvane::server {

enum class NameRefusal {
  kNone,
  kEmpty,
  kQuote,    // breaks the wire's quoting
  kUnshown,  // a user-defined character or bytes that are no character
  kSpeaker,  // ">" fakes who is speaking in a chat line
  kSystem,   // "SYS" or "SYS:...", how the client shows its own lines
  kTaken,    // another joined user's name, as the client shows it
};

// Who speaks the server's own chat lines: a name CheckName refuses, so no
// user can pass for the server.
inline constexpr std::string_view kServerSpeaker = "SYS";

// Why a name is refused, or kNone. What makes two names alike for the
// screen is NameKey.
using NameTaken = std::function<bool(const std::string& key)>;
NameRefusal CheckName(std::string_view cleaned, const NameTaken& taken);
std::string_view RefusalText(NameRefusal refusal);

// A name as the argument of G_JOIN or G_RENAME gives it: cleaned, cut to
// kNameBytes, and without blanks at either end (the user learns the name it
// goes by from its greeting or S_RENAME).
std::string CleanName(std::string_view argument);

// A code page 932 name folded so that names that show alike compare equal:
// full-width ASCII as ASCII, half-width katakana as full-width (voiced marks
// joined), letters in lower case, the lookalikes of kLookalikes (names.cpp)
// as the letter they pass for, every run of blanks as one blank and none at
// either end; as UTF-8.
std::string NameKey(std::string_view cp932);

// Whether every character of the name shows the same on every screen: no
// user-defined character (0xF040-0xF9FC), nothing that is not code page 932.
bool Shown(std::string_view cp932);

// A name for a refused join that passes CheckName: the name without what
// was refused, with the lowest number from 2 up added while it is taken;
// the default name when nothing usable is left. At most limit bytes.
std::string UniqueName(std::string_view cleaned, const NameTaken& taken, size_t limit);

}  // namespace gorvane::server
