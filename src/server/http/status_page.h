// SPDX-License-Identifier: GPL-3.0-or-later
// The status page players open in a browser: who is online, the parties and
// their games, and the rankings; one HTML5 page without script, in UTF-8.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "server/store/accounts.h"
#include "server/http/status_snapshot.h"

namespace gorvane::server {

// Accounts each ranking shows.
inline constexpr size_t kLeaders = 50;

struct Leaderboard {
  bool read = false;  // false: the database did not answer
  std::vector<Ranked> byPrize;
  std::vector<Ranked> byWins;
};

// Code page 932 text a user typed, as UTF-8 that HTML shows as it is.
std::string HtmlText(std::string_view cp932);

std::string StatusPage(const LobbySnapshot& lobby, const Leaderboard& leaders);

}  // namespace gorvane::server
