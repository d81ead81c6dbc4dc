// SPDX-License-Identifier: GPL-3.0-or-later
// The database's password kept out of everything the server prints: the
// log, the terminal, /metrics, the status page and /healthz. libpq quotes
// the URI it was given, whole or in parts, in some of its errors.
#pragma once

#include <string>
#include <string_view>

namespace gorvane::server {

// What stands for a password wherever one was.
inline constexpr std::string_view kMaskedSecret = "***";

// Where the accounts live, fit to print: a PostgreSQL URI's password (after
// "user:" or as a password= parameter) or a conninfo's password= replaced
// by kMaskedSecret; an SQLite path as it is.
std::string MaskedWhere(std::string_view where);

// Text such as a libpq error, every password of where in it masked (as
// written and percent-decoded), and likewise any URI or password= the text
// holds itself.
std::string WithoutSecrets(std::string_view text, std::string_view where);

}  // namespace gorvane::server
