// The comma-text field codec of server messages and the trimming of
// received messages. All functions work on bytes; code page 932 double-byte
// characters never contain a byte these rules react to.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace gorvane {

using Fields = std::vector<std::string>;

// Any byte 0x01..0x20 separates fields like a delimiter does.
constexpr bool IsBlank(unsigned char c) { return c >= 0x01 && c <= 0x20; }

Fields SplitDelimitedText(std::string_view text, char delimiter);
Fields SplitCommaText(std::string_view text);
std::string JoinCommaText(const Fields& fields);

// The bytes after the first blank (0x20) of a message text, untouched; the
// whole text when it has none.
std::string_view TextAfterFirstSpace(std::string_view text);

// Drops every leading and trailing byte 0x00..0x20 (terminator, CR LF, blanks).
std::string_view TrimMessage(std::string_view bytes);

}  // namespace gorvane
