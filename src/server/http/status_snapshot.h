// SPDX-License-Identifier: GPL-3.0-or-later
// What the status page shows of the lobby. The loop takes one at most once a
// second (loop/server_http.cpp) and hands it over whole; the HTTP threads only read it, so they
// never touch the lobby. Text stays in code page 932 here: converting it is
// the HTTP threads' work, not the loop's.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace gorvane::server {

// Rows a snapshot holds at most of each list; the totals count the rest.
inline constexpr size_t kStatusRows = 500;

struct LobbySnapshot {
  struct PartyRow {
    int32_t number = 0;
    std::string leader;
    size_t members = 0;
    bool playing = false;
  };
  struct GameRow {
    int32_t party = 0;
    std::vector<std::string> players;
    std::string turn;  // whose turn it is
    size_t deckLeft = 0;
  };

  std::chrono::system_clock::time_point taken{};
  // SHA-256 of the TLS certificate's key, for players to compare with what
  // their client pinned; empty without TLS.
  std::string keyFingerprint;
  size_t usersOnline = 0;
  std::vector<std::string> names;  // joined users in the lobby's order
  size_t partyCount = 0;
  std::vector<PartyRow> parties;
  size_t gameCount = 0;
  std::vector<GameRow> games;
};

}  // namespace gorvane::server
