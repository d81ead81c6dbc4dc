// SPDX-License-Identifier: GPL-3.0-or-later
// How the server reads client commands and writes its messages.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gorvane::server {

// "KIND id argument": the kind, the sender's id as written, and the verbatim
// text after the second blank.
struct Command {
  std::string_view kind;
  std::string_view id;
  std::string_view argument;
};

Command ParseCommand(std::string_view message);

// The blank-separated integers of an argument ("5 12 40 "), or nothing when
// any of them is not a 32-bit decimal integer.
std::optional<std::vector<int32_t>> ParseNumbers(std::string_view argument);

// One message: the kind and its fields joined as comma text.
std::string Message(std::string_view kind, std::initializer_list<std::string_view> fields);
std::string Message(std::string_view kind, const std::vector<std::string>& fields);

// One record of a nested list: parts joined by ':' and quoted so that the
// client's colon split gives each part back whole.
std::string Record(std::initializer_list<std::string_view> parts);

// "KIND name> text": chat goes out unquoted; the client shows what follows
// the first blank as it stands.
std::string ChatLine(std::string_view kind, std::string_view name, std::string_view text);

// A client's bytes made safe for a log line: code page 932 shown as UTF-8,
// control bytes and broken characters written as \xNN, cut at limit bytes.
std::string Printable(std::string_view bytes, size_t limit = 48);

// A client's text cut short enough to quote in a log line.
std::string Clip(std::string_view text, size_t limit = 40);

}  // namespace gorvane::server
