// SPDX-License-Identifier: GPL-3.0-or-later
// What the loop does for the HTTP side: a heartbeat every turn and a
// snapshot of the lobby at most once a second, both handed over without
// waiting; the rest is the HTTP side's own threads' work.
#include <algorithm>
#include <future>

#include "server/http/status_page.h"
#include "server/http/status_snapshot.h"
#include "server/lobby/lobby.h"
#include "server/loop/server.h"
#include "server/store/off_loop.h"

namespace gorvane::server {
namespace {

// The lobby as the status page shows it, copied on the loop: the HTTP
// threads never touch the lobby itself.
std::shared_ptr<LobbySnapshot> TakeSnapshot(const Lobby& lobby, std::chrono::system_clock::time_point now) {
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

}  // namespace

bool Server::StartHttp(std::string& error) {
  if (!options_.http) return true;
  http_ = HttpSide::Start(*options_.http,
                          {[this] { return metrics_.Exposition(); }, options_.databasePath,
                           // The counters are atomic: any thread may count.
                           [this](Defence defence) { metrics_.Defended(defence); }, options_.ipv6Prefix,
                           PlayersAddress(options_.publicAddress, options_.listenAddress, port_)},
                          error);
  if (!http_) return false;
  const std::string& address = options_.http->address;
  const std::string host = address.find(':') == std::string::npos ? address : "[" + address + "]";
  Log("status page, /metrics and /healthz on http://" + host + ":" + std::to_string(http_->port()) + "/");
  return true;
}

void Server::InformHttp(TimePoint now) {
  http_->Beat(now);
  if (farewell_ || (statusPublished_ && now - *statusPublished_ < std::chrono::seconds(1))) return;
  statusPublished_ = now;
  auto snapshot = TakeSnapshot(*lobby_, std::chrono::system_clock::now());
  snapshot->keyFingerprint = tlsFingerprint();
  http_->Publish(std::move(snapshot));
}

std::function<void()> Server::HoldLoopForTest() {
  auto release = std::make_shared<std::promise<void>>();
  std::shared_future<void> released = release->get_future().share();
  // The job's reply runs on the loop, and waits there.
  offLoop_->Submit([released]() -> OffLoop::Reply { return [released] { released.wait(); }; });
  return [release] { release->set_value(); };
}

}  // namespace gorvane::server
