// SPDX-License-Identifier: GPL-3.0-or-later
// The status page players open in a browser: who is online, the parties and
// their games, and the rankings; one HTML5 page without script, in UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/http/status_snapshot.h"
#include "server/store/accounts.h"

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

// Whether text names a host as --public-address takes it: HOST, HOST:PORT,
// an IPv6 address or [IPV6]:PORT, of letters, digits and ".-_:[]" only.
bool IsPublicAddress(std::string_view text);

// The address players connect to, as the page shows it: the public address
// the host gave (with the game port when it names none), else the address
// and port the game listens on.
std::string PlayersAddress(std::string_view publicAddress, std::string_view listenAddress, uint16_t port);

// players: the address players connect to, shown as it is (escaped).
std::string StatusPage(const LobbySnapshot& lobby, const Leaderboard& leaders, std::string_view players);

}  // namespace gorvane::server
