// Parties and their games, as the lobby runs them.
#include <algorithm>

#include "spine/fields.h"
#include "server/lobby.h"
#include "server/wire.h"

namespace gorvane::server {
namespace {

std::string Number(int64_t value) { return std::to_string(value); }

}  // namespace

void Lobby::Leave(User& user) {
  const auto found = parties_.find(user.party);
  user.party = 0;
  if (found == parties_.end()) return;
  ListsChanged();
  Party& party = found->second;
  const int32_t number = party.number;
  std::erase(party.members, user.id);
  const std::string left = Message("S_PBYE", {Number(user.id), Number(number)});
  if (party.game) {
    // The game ends without results; the rest of the lobby only sees the
    // member leave.
    party.game.reset();
    ToParty(party, Message("S_QUITGAME", {Number(user.id)}));
    for (const auto& [id, other] : users_) {
      if (other.joined && other.party != number) outbox_.Send(id, left);
    }
  } else {
    ToJoined(left);
  }
  if (party.members.empty()) {
    parties_.erase(found);
    return;
  }
  if (party.leader == user.id) {
    party.leader = party.members.front();
    ToParty(party, Message("S_LEADER", {Number(party.leader)}));
  }
}

void Lobby::CreateParty(User& user, std::string_view) {
  Leave(user);
  const int32_t number = nextParty_++;
  Party& party = parties_[number];
  party.number = number;
  party.leader = user.id;
  party.members = {user.id};
  user.party = number;
  ListsChanged();
  ToJoined(Message("S_CREATE", {Number(user.id), Number(number)}));
}

void Lobby::JoinParty(User& user, std::string_view argument) {
  const auto number = ParseInt32(argument);
  const auto found = number ? parties_.find(*number) : parties_.end();
  const char* why = nullptr;
  if (found == parties_.end()) {
    why = "no such party";
  } else if (found->second.game) {
    why = "the party is playing";
  } else if (found->second.members.size() >= kMaxPartySize) {
    why = "the party is full";
  } else if (user.party == *number) {
    why = "already in that party";
  }
  if (why) {
    Refuse(user, "P_JOIN", std::string(why) + " '" + Clip(argument) + "'");
    outbox_.Send(user.id, "S_PCANCEL");
    return;
  }
  Leave(user);
  Party& party = found->second;
  party.members.insert(std::upper_bound(party.members.begin(), party.members.end(), user.id), user.id);
  user.party = party.number;
  ListsChanged();
  ToJoined(Message("S_PJOIN", {Number(user.id), Number(party.number)}));
}

void Lobby::ListMembers(User& user, std::string_view) {
  const auto found = parties_.find(user.party);
  if (found == parties_.end()) {
    Refuse(user, "P_LIST", "not in a party");
    return;
  }
  const Party& party = found->second;
  std::vector<std::string> records;
  for (const int32_t member : party.members) {
    records.push_back(Record({Number(member), member == party.leader ? "1" : "0", users_.at(member).name}));
  }
  outbox_.Send(user.id, Message("S_PLIST", records));
}

void Lobby::PartyChat(User& user, std::string_view argument) {
  const auto found = parties_.find(user.party);
  if (found == parties_.end()) {
    Refuse(user, "P_CHAT", "not in a party");
    return;
  }
  ToParty(found->second, ChatLine("S_PCHAT", user.name, argument));
}

void Lobby::LeaveParty(User& user, std::string_view) {
  if (user.party == 0) {
    Refuse(user, "P_BYE", "not in a party");
    return;
  }
  Leave(user);
}

void Lobby::StartGame(User& user, std::string_view) {
  const auto found = parties_.find(user.party);
  const char* why = nullptr;
  if (found == parties_.end()) {
    why = "not in a party";
  } else if (found->second.leader != user.id) {
    why = "only the leader starts the game";
  } else if (found->second.game) {
    why = "the party is playing";
  }
  if (why) {
    Refuse(user, "P_START", why);
    return;
  }
  Party& party = found->second;
  party.game = std::make_unique<Game>(cards_, rng_, party.members, party.leader, ShuffledDeck(cards_, rng_));
  // Turn numbers start again with each game; the last game's clock must not
  // pass for this one's.
  party.turnSeen = 0;
  ListsChanged();
  Mail mail;
  party.game->Start(mail);
  Deliver(mail);
  if (party.game->over()) party.game.reset();
}

Game* Lobby::GameOf(User& user, std::string_view kind, const char* refusal) {
  const auto found = parties_.find(user.party);
  if (found != parties_.end() && found->second.game) return found->second.game.get();
  Refuse(user, kind, "no game running in the user's party");
  if (refusal) outbox_.Send(user.id, refusal);
  return nullptr;
}

void Lobby::AfterMove(Party& party, std::string_view kind, User& user, const Game::Refusal& refusal) {
  if (refusal) Refuse(user, kind, *refusal);
  EndIfOver(party);
}

void Lobby::EndIfOver(Party& party) {
  if (!party.game->over()) return;
  Settle(*party.game);
  party.game.reset();
  ListsChanged();
}

std::optional<TimePoint> Lobby::Tick(TimePoint now) {
  std::optional<TimePoint> next;
  while (!owedLists_.empty() && owedLists_.top().due <= now) {
    const OwedList owed = owedLists_.top();
    owedLists_.pop();
    const auto found = users_.find(owed.user);
    const size_t which = owed.slot == ListSlot::kUsers ? 0 : 1;
    if (found == users_.end() || !found->second.listOwed[which]) continue;
    SendList(found->second, owed.slot, now);
  }
  if (!owedLists_.empty()) next = owedLists_.top().due;
  if (rules_.turnTime <= Duration::zero()) return next;
  for (auto& [number, party] : parties_) {
    if (!party.game) continue;
    if (party.game->turnNumber() != party.turnSeen) {
      party.turnSeen = party.game->turnNumber();
      party.turnDeadline = now + rules_.turnTime;
    } else if (now >= party.turnDeadline) {
      const int32_t player = party.game->turn().player;
      if (log_) {
        log_("user " + Number(player) + ": turn in party " + Number(number) + " ended after " +
             std::to_string(std::chrono::duration_cast<std::chrono::seconds>(rules_.turnTime).count()) +
             " s without a turn end");
      }
      Mail mail;
      party.game->TimeOut(mail);
      Deliver(mail);
      EndIfOver(party);
      if (!party.game) continue;
      party.turnSeen = party.game->turnNumber();
      party.turnDeadline = now + rules_.turnTime;
    }
    if (!next || party.turnDeadline < *next) next = party.turnDeadline;
  }
  return next;
}

void Lobby::Settle(const Game& game) {
  int32_t best = 0;
  for (const Result& result : game.results()) best = std::max(best, result.amount);
  for (const Result& result : game.results()) {
    const auto found = users_.find(result.id);
    if (found == users_.end()) continue;
    User& player = found->second;
    const int64_t win = best > 0 && result.amount == best ? 1 : 0;
    if (!player.login) {
      player.guest.prize += result.amount;
      player.guest.wins += win;
      continue;
    }
    std::string error;
    if (!accounts_.AddResult(*player.login, result.amount, win, error) && log_) {
      log_("statistics of user " + Number(player.id) + " not stored: " + error);
    }
  }
}

void Lobby::Draw(User& user, std::string_view) {
  Game* game = GameOf(user, "P_DROW", nullptr);
  if (!game) return;
  Mail mail;
  const Game::Refusal refusal = game->Draw(user.id, mail);
  Deliver(mail);
  AfterMove(parties_.at(user.party), "P_DROW", user, refusal);
}

void Lobby::Play(User& user, std::string_view argument) {
  Game* game = GameOf(user, "P_PLAY", "S_UNPLAYED,1");
  if (!game) return;
  Mail mail;
  const Game::Refusal refusal = game->Play(user.id, argument, mail);
  Deliver(mail);
  AfterMove(parties_.at(user.party), "P_PLAY", user, refusal);
}

void Lobby::Pile(User& user, std::string_view argument) {
  Game* game = GameOf(user, "P_PILE", "S_FPILE,1");
  if (!game) return;
  Mail mail;
  const Game::Refusal refusal = game->Pile(user.id, argument, mail);
  Deliver(mail);
  AfterMove(parties_.at(user.party), "P_PILE", user, refusal);
}

void Lobby::EndTurn(User& user, std::string_view) {
  Game* game = GameOf(user, "P_TURNEND", nullptr);
  if (!game) return;
  Mail mail;
  const Game::Refusal refusal = game->EndTurn(user.id, mail);
  Deliver(mail);
  AfterMove(parties_.at(user.party), "P_TURNEND", user, refusal);
}

}  // namespace gorvane::server
