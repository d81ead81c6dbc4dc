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

// A code page 932 name folded so that names that show alike compare equal:
// full-width ASCII and the ideographic space as ASCII, half-width katakana as
// full-width (voiced marks joined), letters in lower case; as UTF-8.
std::string NameKey(std::string_view cp932);

// A name for a refused join that passes CheckName: the name without what
// was refused, with the lowest number from 2 up added while it is taken;
// the default name when nothing usable is left. At most limit bytes.
std::string UniqueName(std::string_view cleaned, const NameTaken& taken, size_t limit);

}  // namespace gorvane::server
