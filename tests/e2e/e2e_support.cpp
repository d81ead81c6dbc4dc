// SPDX-License-Identifier: GPL-3.0-or-later
#include "e2e_support.h"

#include <algorithm>

#include "spine/sjis.h"

namespace gorvane::e2e {
namespace {

server::ServerOptions OptionsFor(const std::string& address, uint32_t seed, std::vector<std::string>& log,
                                 const std::function<void(server::ServerOptions&)>& adjust) {
  server::ServerOptions options;
  options.listenAddress = address;
  options.databasePath = ":memory:";
  options.cardsPath = CardListPath();
  options.seed = seed;
  options.log = [&log](std::string_view line) { log.emplace_back(line); };
  if (adjust) adjust(options);
  return options;
}

template <typename T>
std::string Pair(std::string_view what, const T& client, const T& server) {
  return std::string(what) + ": client " + std::to_string(client) + ", server " + std::to_string(server);
}

std::string Cards(const std::vector<int32_t>& cards) {
  std::string text;
  for (const int32_t card : cards) text += (text.empty() ? "" : " ") + std::to_string(card);
  return "[" + text + "]";
}

}  // namespace

// The tests' own deck (support/server/rules_deck.txt): a seed must keep
// dealing the game its test was written for when the shipped deck is tuned.
std::string CardListPath() { return GORVANE_RULES_DECK; }

LocalServer::LocalServer(const std::string& address, uint32_t seed,
                         const std::function<void(server::ServerOptions&)>& adjust)
    : server_(OptionsFor(address, seed, log_, adjust)) {
  std::string error;
  if (!server_.Start(error)) throw std::runtime_error("server on " + address + ": " + error);
}

bot::PlayerOptions PlayerAt(const std::string& address, std::string_view name, bot::Mode mode) {
  bot::PlayerOptions options;
  options.host = address;
  options.name = sjis::Text(name);
  options.mode = mode;
  options.cardListPath = CardListPath();
  options.pauses = false;
  options.startAfter = {};
  return options;
}

bot::HeadlessPlayer::LineSink ConsoleRecord::Sink() {
  return [this](std::string_view line) { lines.push_back(sjis::ToUtf8(line)); };
}

size_t ConsoleRecord::Count(std::string_view utf8) const {
  return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.find(utf8) != std::string::npos;
  }));
}

bool ConsoleRecord::Contains(std::string_view utf8) const { return Count(utf8) > 0; }

bool RunUntil(LocalServer& server, const std::vector<bot::HeadlessPlayer*>& players,
              const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    server.server().RunOnce(1);
    for (bot::HeadlessPlayer* player : players) {
      if (player != nullptr) player->Poll(0);
    }
  }
  return true;
}

std::optional<std::string> Disagreement(const server::Lobby& lobby, const bot::HeadlessPlayer& player) {
  const GameRoom* room = player.room();
  const server::User* user = lobby.FindUser(player.myId());
  const server::Party* party = user == nullptr ? nullptr : lobby.FindParty(user->party);
  if (room == nullptr || party == nullptr || !party->game) return std::nullopt;
  const server::Player* held = party->game->FindPlayer(player.myId());
  if (held == nullptr) return std::nullopt;
  const party_t* own = room->roster().Find(player.myId());
  if (own == nullptr) return "no own record in the roster";

  if (own->distance != held->distance) return Pair("distance", own->distance, held->distance);
  if (own->monster != held->monster) return Pair("monster", own->monster, held->monster);
  if (own->returning != held->returning) return Pair("on the way back", own->returning, held->returning);
  if (own->handCount != static_cast<int32_t>(held->hand.size())) {
    return Pair("hand count", own->handCount, static_cast<int32_t>(held->hand.size()));
  }
  const auto& state = room->state();
  const std::vector<int32_t> hand(state.handCards.begin(), state.handCards.begin() + own->handCount);
  if (hand != held->hand) return "hand: client " + Cards(hand) + ", server " + Cards(held->hand);
  // A click marks cards, and casts the charm, before its command reaches
  // the server.
  if (player.waiting()) return std::nullopt;
  for (size_t slot = 0; slot < held->hand.size(); ++slot) {
    if (state.usedMarks[slot] != held->used[slot]) {
      return "mark of slot " + std::to_string(slot) + ": client " + std::to_string(state.usedMarks[slot]) +
             ", server " + std::to_string(held->used[slot]);
    }
  }
  // The charm lasts for the player's own turn only.
  const server::Turn& turn = party->game->turn();
  const bool ownTurn = turn.player == player.myId();
  const int32_t charmed = ownTurn ? turn.charmed : -1;
  const bool cast = ownTurn && turn.charmCast;
  if (state.charmedMonster != charmed) return Pair("charmed monster", state.charmedMonster, charmed);
  if (state.charmCast != cast) return Pair("charm cast", state.charmCast, cast);
  return std::nullopt;
}

}  // namespace gorvane::e2e
