// SPDX-License-Identifier: GPL-3.0-or-later
// Parties and their games, as the lobby runs them.
#include <algorithm>

#include "server/base/wire.h"
#include "server/lobby/lobby_context.h"
#include "server/lobby/names.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane::server {
namespace {

std::string Number(int64_t value) { return std::to_string(value); }

std::string Seconds(Duration duration) {
  return Number(std::chrono::duration_cast<std::chrono::seconds>(duration).count());
}

}  // namespace

void LobbyContext::Leave(User& user) {
  const auto found = parties.find(user.party);
  user.party = 0;
  if (found == parties.end()) return;
  ListsChanged();
  Party& party = found->second;
  const int32_t number = party.number;
  std::erase(party.members, user.id);
  party.rosterOwed.erase(user.id);
  const std::string left = Message("S_PBYE", {Number(user.id), Number(number)});
  if (party.game) {
    // The game ends without results; the rest of the lobby only sees the
    // member leave.
    party.game.reset();
    metrics.GameEnded(false);
    GameOver(party);
    ToParty(party, Message("S_QUITGAME", {Number(user.id)}));
    for (const auto& [id, other] : users) {
      if (other.joined && other.party != number) outbox.Send(id, left);
    }
  } else {
    ToJoined(left);
  }
  if (party.members.empty()) {
    parties.erase(found);
    metrics.Parties(parties.size());
    return;
  }
  if (party.leader == user.id) {
    party.leader = party.members.front();
    ToParty(party, Message("S_LEADER", {Number(party.leader)}));
    // The start was the old leader's wish; the new leader may start the
    // game when it likes, and its client offers it the start again.
    if (party.startHeld && log) log("party " + Number(number) + ": start dropped, its leader left");
    party.startHeld = false;
  }
  // Whoever still owed a roster may have been the last.
  StartIfRostered(party, arrived);
}

void LobbyContext::BeginGame(Party& party) {
  party.startHeld = false;
  party.game = std::make_unique<Game>(cards, rng, party.members, party.leader, ShuffledDeck(cards, rng));
  // Turn numbers start again with each game; the last game's clock must not
  // pass for this one's.
  party.turnSeen = 0;
  party.turnWarned = false;
  metrics.GameStarted();
  ListsChanged();
  Mail mail;
  party.game->Start(mail);
  Deliver(mail);
  if (party.game->over()) {
    party.game.reset();
    metrics.GameEnded(false);
  }
}

bool LobbyContext::StartIfRostered(Party& party, TimePoint now) {
  if (!party.startHeld) return false;
  std::string late;
  for (const auto& [member, joined] : party.rosterOwed) {
    if (now - joined < kRosterWait) return false;
    late += " " + Number(member);
  }
  if (!late.empty() && log) {
    log("party " + Number(party.number) + ": game started without the roster of user" + late +
        ", not asked for within " + Seconds(kRosterWait) + " s");
  }
  BeginGame(party);
  return true;
}

void LobbyContext::Announce(const Party& party, std::string_view text) {
  ToParty(party, ChatLine("S_PCHAT", kServerSpeaker, text));
}

Game* LobbyContext::GameOf(User& user, std::string_view kind, const char* refusal) {
  const auto found = parties.find(user.party);
  if (found != parties.end() && found->second.game) return found->second.game.get();
  Refuse(user, kind, "no game running in the user's party");
  if (refusal) outbox.Send(user.id, refusal);
  return nullptr;
}

void LobbyContext::AfterMove(Party& party, std::string_view kind, User& user, const Game::Refusal& refusal) {
  if (refusal) Refuse(user, kind, *refusal);
  EndIfOver(party);
}

void LobbyContext::EndIfOver(Party& party) {
  if (!party.game->over()) return;
  Settle(*party.game);
  party.game.reset();
  metrics.GameEnded(true);
  GameOver(party);
  ListsChanged();
}

void LobbyContext::GameOver(const Party& party) {
  // A player silent through a whole game had nothing to say; it gives way
  // only once silent that long in the lobby.
  for (const int32_t member : party.members) {
    const auto found = users.find(member);
    if (found != users.end()) found->second.lastHeard = std::max(found->second.lastHeard, arrived);
  }
}

std::optional<TimePoint> LobbyContext::Tick(TimePoint now) {
  arrived = now;
  std::optional<TimePoint> next = GreetWaiting(now);
  if (const auto retry = results.Pump(outbox, now); retry && (!next || *retry < *next)) next = retry;
  while (!owedLists.empty() && owedLists.top().due <= now) {
    const OwedList owed = owedLists.top();
    owedLists.pop();
    const auto found = users.find(owed.user);
    const size_t which = owed.slot == ListSlot::kUsers ? 0 : 1;
    if (found == users.end() || !found->second.listOwed[which]) continue;
    SendList(found->second, owed.slot, now);
  }
  if (!owedLists.empty() && (!next || owedLists.top().due < *next)) next = owedLists.top().due;
  const auto nameOf = [this](int32_t id) {
    const auto found = users.find(id);
    return found == users.end() ? std::string() : found->second.name;
  };
  const auto soonest = [&next](TimePoint due) {
    if (!next || due < *next) next = due;
  };
  const bool timed = rules.turnTime > Duration::zero();
  // A warning as long before the end as the turn lasts would only repeat
  // what the turn's start said.
  const bool warns = rules.turnTime > kTurnWarning;
  // One pass over the parties for held starts and turn timers both: this
  // runs after every event.
  for (auto& [number, party] : parties) {
    if (party.startHeld && !StartIfRostered(party, now)) {
      TimePoint due = now;
      for (const auto& [member, joined] : party.rosterOwed) due = std::max(due, joined + kRosterWait);
      soonest(due);
      continue;
    }
    if (!timed || !party.game) continue;
    if (party.game->turnNumber() != party.turnSeen) {
      party.turnSeen = party.game->turnNumber();
      party.turnDeadline = now + rules.turnTime;
      party.turnWarned = false;
    } else if (now >= party.turnDeadline) {
      const int32_t player = party.game->turn().player;
      if (log) {
        log("user " + Number(player) + ": turn in party " + Number(number) + " ended after " +
            Seconds(rules.turnTime) + " s without a turn end");
      }
      metrics.TurnTimedOut();
      // Said before the turn end goes out, so that it stands beside the
      // turn it speaks of.
      Announce(party, nameOf(player) + sjis::Text("さんの手番を時間切れで終了しました"));
      Mail mail;
      party.game->TimeOut(mail);
      Deliver(mail);
      EndIfOver(party);
      if (!party.game) continue;
      party.turnSeen = party.game->turnNumber();
      party.turnDeadline = now + rules.turnTime;
      party.turnWarned = false;
    }
    if (warns && !party.turnWarned) {
      const TimePoint warnAt = party.turnDeadline - kTurnWarning;
      if (now >= warnAt) {
        party.turnWarned = true;
        Announce(party, nameOf(party.game->turn().player) + sjis::Text("さんの手番は残り30秒です"));
      } else {
        soonest(warnAt);
      }
    }
    soonest(party.turnDeadline);
  }
  return next;
}

void LobbyContext::Settle(const Game& game) {
  int32_t best = 0;
  for (const Result& result : game.results()) best = std::max(best, result.amount);
  for (const Result& result : game.results()) {
    const auto found = users.find(result.id);
    if (found == users.end()) continue;
    User& player = found->second;
    const int64_t win = best > 0 && result.amount == best ? 1 : 0;
    if (!player.login) {
      player.guest.prize += result.amount;
      player.guest.wins += win;
      continue;
    }
    // Off the loop: a slow or absent store keeps nobody waiting.
    results.Owe(*player.login, result.amount, win, outbox);
  }
}

namespace {

void CreateParty(LobbyContext& lobby, User& user, std::string_view) {
  lobby.Leave(user);
  const int32_t number = lobby.nextParty++;
  Party& party = lobby.parties[number];
  party.number = number;
  party.leader = user.id;
  party.members = {user.id};
  party.rosterOwed[user.id] = lobby.arrived;
  user.party = number;
  lobby.metrics.Parties(lobby.parties.size());
  lobby.ListsChanged();
  lobby.ToJoined(Message("S_CREATE", {Number(user.id), Number(number)}));
}

void JoinParty(LobbyContext& lobby, User& user, std::string_view argument) {
  const auto number = ParseInt32(argument);
  const auto found = number ? lobby.parties.find(*number) : lobby.parties.end();
  const char* why = nullptr;
  if (found == lobby.parties.end()) {
    why = "no such party";
  } else if (found->second.game) {
    why = "the party is playing";
  } else if (found->second.members.size() >= kMaxPartySize) {
    why = "the party is full";
  } else if (user.party == *number) {
    why = "already in that party";
  }
  if (why) {
    lobby.Refuse(user, "P_JOIN", std::string(why) + " '" + Clip(argument) + "'");
    lobby.outbox.Send(user.id, "S_PCANCEL");
    return;
  }
  lobby.Leave(user);
  Party& party = found->second;
  party.members.insert(std::upper_bound(party.members.begin(), party.members.end(), user.id), user.id);
  user.party = party.number;
  party.rosterOwed[user.id] = lobby.arrived;
  lobby.ListsChanged();
  lobby.ToJoined(Message("S_PJOIN", {Number(user.id), Number(party.number)}));
}

void ListMembers(LobbyContext& lobby, User& user, std::string_view) {
  const auto found = lobby.parties.find(user.party);
  if (found == lobby.parties.end()) {
    lobby.Refuse(user, "P_LIST", "not in a party");
    return;
  }
  const Party& party = found->second;
  std::vector<std::string> records;
  for (const int32_t member : party.members) {
    records.push_back(
        Record({Number(member), member == party.leader ? "1" : "0", lobby.users.at(member).name}));
  }
  lobby.outbox.Send(user.id, Message("S_PLIST", records));
  found->second.rosterOwed.erase(user.id);
  lobby.StartIfRostered(found->second, lobby.arrived);
}

void PartyChat(LobbyContext& lobby, User& user, std::string_view argument) {
  const auto found = lobby.parties.find(user.party);
  if (found == lobby.parties.end()) {
    lobby.Refuse(user, "P_CHAT", "not in a party");
    return;
  }
  if (lobby.Muted(user, "P_CHAT")) return;
  lobby.ToParty(found->second, ChatLine("S_PCHAT", user.name, argument));
}

void LeaveParty(LobbyContext& lobby, User& user, std::string_view) {
  if (user.party == 0) {
    lobby.Refuse(user, "P_BYE", "not in a party");
    return;
  }
  lobby.Leave(user);
}

void StartGame(LobbyContext& lobby, User& user, std::string_view) {
  const auto found = lobby.parties.find(user.party);
  const char* why = nullptr;
  if (found == lobby.parties.end()) {
    why = "not in a party";
  } else if (found->second.leader != user.id) {
    why = "only the leader starts the game";
  } else if (found->second.game) {
    why = "the party is playing";
  }
  if (why) {
    lobby.Refuse(user, "P_START", why);
    return;
  }
  Party& party = found->second;
  // The leader's own P_LIST, sent as its window opened, came before this on
  // the same connection: if it has not asked, it never will.
  party.rosterOwed.erase(user.id);
  if (party.startHeld) return;
  party.startHeld = true;
  if (lobby.StartIfRostered(party, lobby.arrived)) return;
  if (lobby.log)
    lobby.log("party " + Number(party.number) + ": start held until every member has its roster");
}

void Draw(LobbyContext& lobby, User& user, std::string_view) {
  Game* game = lobby.GameOf(user, "P_DROW", nullptr);
  if (!game) return;
  Mail mail;
  const Game::Refusal refusal = game->Draw(user.id, mail);
  lobby.Deliver(mail);
  lobby.AfterMove(lobby.parties.at(user.party), "P_DROW", user, refusal);
}

void Play(LobbyContext& lobby, User& user, std::string_view argument) {
  Game* game = lobby.GameOf(user, "P_PLAY", "S_UNPLAYED,1");
  if (!game) return;
  Mail mail;
  const Game::Refusal refusal = game->Play(user.id, argument, mail);
  lobby.Deliver(mail);
  lobby.AfterMove(lobby.parties.at(user.party), "P_PLAY", user, refusal);
}

void Pile(LobbyContext& lobby, User& user, std::string_view argument) {
  Game* game = lobby.GameOf(user, "P_PILE", "S_FPILE,1");
  if (!game) return;
  Mail mail;
  const Game::Refusal refusal = game->Pile(user.id, argument, mail);
  lobby.Deliver(mail);
  lobby.AfterMove(lobby.parties.at(user.party), "P_PILE", user, refusal);
}

void EndTurn(LobbyContext& lobby, User& user, std::string_view) {
  Game* game = lobby.GameOf(user, "P_TURNEND", nullptr);
  if (!game) return;
  Mail mail;
  const Game::Refusal refusal = game->EndTurn(user.id, mail);
  lobby.Deliver(mail);
  lobby.AfterMove(lobby.parties.at(user.party), "P_TURNEND", user, refusal);
}

constexpr Route kRoutes[] = {
    {"P_CREATE", CreateParty, Meter::kBroadcast, kDropped, false, kNumberArgument},
    {"P_JOIN", JoinParty, Meter::kBroadcast, Answered("S_PCANCEL"), false, kNumberArgument},
    {"P_LIST", ListMembers, Meter::kNone, kDropped, false, kNumberArgument},
    {"P_CHAT", PartyChat, Meter::kChat},
    // A member who leaves a party has closed its window: the leave stands,
    // and what it tells the others is bounded by the creates and joins that
    // passed.
    {"P_BYE", LeaveParty, Meter::kBroadcast, kStandsInParty, false, kNumberArgument},
    {"P_START", StartGame, Meter::kNone, kDropped, false, kNumberArgument},
    {"P_DROW", Draw, Meter::kNone, kDropped, false, kNumberArgument},
    {"P_PLAY", Play, Meter::kNone, kDropped, false, kPlayArgument},
    {"P_PILE", Pile, Meter::kNone, kDropped, false, kPlayArgument},
    {"P_TURNEND", EndTurn, Meter::kNone, kDropped, false, kNumberArgument},
};

}  // namespace

std::span<const Route> PartyRoutes() { return kRoutes; }

}  // namespace gorvane::server
