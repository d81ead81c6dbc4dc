// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/status_snapshot.h"

#include "server/lobby.h"

namespace gorvane::server {

std::shared_ptr<const LobbySnapshot> TakeSnapshot(const Lobby& lobby,
                                                  std::chrono::system_clock::time_point now) {
  auto snapshot = std::make_shared<LobbySnapshot>();
  snapshot->taken = now;
  const auto nameOf = [&](int32_t id) {
    const User* user = lobby.FindUser(id);
    return user != nullptr ? user->name : std::string();
  };
  snapshot->names.reserve(std::min(lobby.joinedCount(), kStatusRows));
  for (const auto& [id, user] : lobby.users()) {
    if (!user.joined) continue;
    ++snapshot->usersOnline;
    if (snapshot->names.size() < kStatusRows) snapshot->names.push_back(user.name);
  }
  for (const auto& [number, party] : lobby.parties()) {
    ++snapshot->partyCount;
    if (snapshot->parties.size() < kStatusRows)
      snapshot->parties.push_back(
          {number, nameOf(party.leader), party.members.size(), party.game != nullptr});
    if (!party.game || party.game->over()) continue;
    ++snapshot->gameCount;
    if (snapshot->games.size() >= kStatusRows) continue;
    LobbySnapshot::GameRow game{number, {}, nameOf(party.game->turn().player), party.game->deck().size()};
    for (const Player& player : party.game->players()) game.players.push_back(nameOf(player.id));
    snapshot->games.push_back(std::move(game));
  }
  return snapshot;
}

}  // namespace gorvane::server
