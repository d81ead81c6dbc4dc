#include "server/lobby.h"

#include "core/fields.h"
#include "core/sjis.h"
#include "server/wire.h"

namespace gorvane::server {
namespace {

std::string Number(int64_t value) { return std::to_string(value); }

}  // namespace

const Lobby::Route Lobby::kRoutes[] = {
    {"G_JOIN", &Lobby::Join},         {"G_LOGIN", &Lobby::LogIn},      {"G_LIST", &Lobby::ListUsers},
    {"G_PLIST", &Lobby::ListParties}, {"G_CHAT", &Lobby::Chat},        {"G_INFO", &Lobby::Info},
    {"G_RENAME", &Lobby::Rename},     {"G_BYE", &Lobby::Bye},          {"P_CREATE", &Lobby::CreateParty},
    {"P_JOIN", &Lobby::JoinParty},    {"P_LIST", &Lobby::ListMembers}, {"P_CHAT", &Lobby::PartyChat},
    {"P_BYE", &Lobby::LeaveParty},    {"P_START", &Lobby::StartGame},  {"P_DROW", &Lobby::Draw},
    {"P_PLAY", &Lobby::Play},         {"P_PILE", &Lobby::Pile},        {"P_TURNEND", &Lobby::EndTurn},
};

Lobby::Lobby(const CardCatalogue& cards, AccountStore& accounts, std::mt19937& rng, Outbox& outbox,
             LogSink log)
    : cards_(cards), accounts_(accounts), rng_(rng), outbox_(outbox), log_(std::move(log)) {}

const User* Lobby::FindUser(int32_t id) const {
  const auto found = users_.find(id);
  return found == users_.end() ? nullptr : &found->second;
}

const Party* Lobby::FindParty(int32_t number) const {
  const auto found = parties_.find(number);
  return found == parties_.end() ? nullptr : &found->second;
}

void Lobby::Refuse(const User& user, std::string_view kind, std::string_view why) {
  if (!log_) return;
  std::string line = "user " + Number(user.id) + ": refused ";
  line += kind.empty() ? std::string("an empty message") : Clip(kind);
  line += ": ";
  line += why;
  log_(line);
}

void Lobby::ToJoined(const std::string& text) {
  for (const auto& [id, user] : users_) {
    if (user.joined) outbox_.Send(id, text);
  }
}

void Lobby::ToParty(const Party& party, const std::string& text) {
  for (const int32_t member : party.members) outbox_.Send(member, text);
}

void Lobby::Deliver(const Mail& mail) {
  for (const Envelope& envelope : mail) outbox_.Send(envelope.to, envelope.text);
}

void Lobby::Connect(int32_t user) {
  users_[user] = User();
  users_[user].id = user;
  outbox_.Send(user, Message("S_CONNECT", {Number(user), sjis::Text("Gorvaneサーバへようこそ")}));
}

void Lobby::Handle(int32_t id, std::string_view message) {
  const auto found = users_.find(id);
  if (found == users_.end()) return;
  User& user = found->second;
  const Command command = ParseCommand(message);
  if (ParseInt32(command.id) != id) {
    Refuse(user, command.kind, "it speaks as id '" + Clip(command.id) + "'");
    return;
  }
  if (!user.joined && command.kind != "G_JOIN" && command.kind != "G_BYE") {
    Refuse(user, command.kind, "not joined yet");
    return;
  }
  for (const Route& route : kRoutes) {
    if (route.kind == command.kind) {
      (this->*route.handler)(user, command.argument);
      return;
    }
  }
  Refuse(user, command.kind, "unknown kind");
}

void Lobby::Disconnect(int32_t id) {
  const auto found = users_.find(id);
  if (found == users_.end()) return;
  Leave(found->second);
  const bool joined = found->second.joined;
  users_.erase(found);
  if (joined) ToJoined(Message("S_ABNORMAL", {Number(id)}));
}

void Lobby::Join(User& user, std::string_view argument) {
  if (user.joined) {
    Refuse(user, "G_JOIN", "already joined");
    return;
  }
  user.joined = true;
  user.name = argument;
  ToJoined(Message("S_GREETING", {Number(user.id), user.name}));
}

void Lobby::LogIn(User& user, std::string_view argument) {
  const size_t blank = argument.find(' ');
  const std::string_view login = argument.substr(0, blank);
  const std::string_view password =
      blank == std::string_view::npos ? std::string_view() : argument.substr(blank + 1);
  switch (accounts_.Check(login, password)) {
    case AccountStore::Login::kOk:
      user.login = login;
      outbox_.Send(user.id, "S_LOGIN");
      return;
    case AccountStore::Login::kWrongPassword:
      Refuse(user, "G_LOGIN", "wrong password");
      outbox_.Send(user.id, Message("S_ELOGIN", {"15"}));
      return;
    case AccountStore::Login::kUnknown:
      Refuse(user, "G_LOGIN", "unknown login");
      break;
    case AccountStore::Login::kFailed:
      Refuse(user, "G_LOGIN", "the account store failed");
      break;
  }
  outbox_.Send(user.id, Message("S_ELOGIN", {"14"}));
}

void Lobby::ListUsers(User& user, std::string_view) {
  std::vector<std::string> records;
  for (const auto& [id, other] : users_) {
    if (other.joined) records.push_back(Record({Number(id), other.name, Number(other.party)}));
  }
  outbox_.Send(user.id, Message("S_LIST", records));
}

void Lobby::ListParties(User& user, std::string_view) {
  std::vector<std::string> records;
  for (const auto& [number, party] : parties_) {
    records.push_back(Record({Number(number), Number(party.leader),
                              Number(static_cast<int64_t>(party.members.size())), party.game ? "1" : "0"}));
  }
  outbox_.Send(user.id, Message("S_GLIST", records));
}

void Lobby::Chat(User& user, std::string_view argument) { ToJoined(ChatLine("S_CHAT", user.name, argument)); }

void Lobby::Info(User& user, std::string_view argument) {
  const auto id = ParseInt32(argument);
  const User* other = id ? FindUser(*id) : nullptr;
  if (!other || !other->joined) {
    Refuse(user, "G_INFO", "no such user '" + Clip(argument) + "'");
    return;
  }
  Statistics statistics = other->guest;
  if (other->login) statistics = accounts_.Read(*other->login).value_or(Statistics{});
  outbox_.Send(user.id,
               Message("S_INFO", {Number(other->id), other->name, other->login ? *other->login : "guest",
                                  Number(statistics.prize), Number(statistics.wins)}));
}

void Lobby::Rename(User& user, std::string_view argument) {
  if (argument.empty() || argument.find('"') != std::string_view::npos) {
    Refuse(user, "G_RENAME", "an empty name or one with a double quote");
    return;
  }
  user.name = argument;
  ToJoined(Message("S_RENAME", {Number(user.id), user.name}));
}

void Lobby::Bye(User& user, std::string_view) {
  const int32_t id = user.id;
  const bool joined = user.joined;
  Leave(user);
  outbox_.Send(id, "S_BYE");
  outbox_.Close(id);
  users_.erase(id);
  if (joined) ToJoined(Message("S_QUIT", {Number(id)}));
}

}  // namespace gorvane::server
