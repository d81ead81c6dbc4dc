// SPDX-License-Identifier: GPL-3.0-or-later
// A game result the server could not store, as one line of its log at a
// stop, and read back from that line for a replay. The line carries the
// result's id, so that replaying it adds it once even when the database
// took the write after all.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "server/store/accounts.h"

namespace gorvane::server {

// "result not stored: login LOGIN, prize N, win W, id HEX"
std::string ResultLine(const OwedResult& result);
// The result of such a line, found anywhere in it (a journal's prefix
// before it is left alone); nothing for any other line.
std::optional<OwedResult> ParseResultLine(std::string_view line);

}  // namespace gorvane::server
