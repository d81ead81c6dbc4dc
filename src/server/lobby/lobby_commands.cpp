// SPDX-License-Identifier: GPL-3.0-or-later
// The lobby's own commands: joining, logging in, the lists, chat, names and
// goodbye.
#include "server/base/wire.h"
#include "server/lobby/lobby_context.h"
#include "server/lobby/names.h"
#include "spine/fields.h"

namespace gorvane::server {
namespace {

std::string Number(int64_t value) { return std::to_string(value); }

void Join(LobbyContext& lobby, User& user, std::string_view argument) {
  // Nobody has logged in before joining: an address ban holds for all.
  if (const Ban* ban = lobby.BanOf(user)) {
    lobby.Refuse(user, "G_JOIN", "its address is banned");
    lobby.SendAway(user, lobby.BanLine(*ban), "turned away: its address is banned");
    return;
  }
  lobby.Join(user, argument, lobby.arrived);
}

// Whether an unknown login may be created by this G_LOGIN: registration
// open, the password not readable on its way, the login a name the lobby
// would take as it is (names in use do not matter: they are not logins),
// and a password long enough.
bool MayRegister(const LobbyContext& lobby, const User& user, std::string_view login,
                 std::string_view password) {
  if (!lobby.rules.registrationOpen || user.plainWhileTls) return false;
  if (password.size() < kRegistrationMinPassword) return false;
  const std::string cleaned = CleanName(login);
  return cleaned == login &&
         CheckName(cleaned, [](const std::string&) { return false; }) == NameRefusal::kNone;
}

void LogIn(LobbyContext& lobby, User& user, std::string_view argument) {
  if (user.plainLoginsRefused) {
    lobby.metrics.PlainLoginRefused();
    lobby.Refuse(user, "G_LOGIN", "sent over plain text while TLS is offered; not checked");
    lobby.outbox.Send(user.id, Message("S_ELOGIN", {"15"}));
    return;
  }
  const size_t blank = argument.find(' ');
  const std::string_view login = argument.substr(0, blank);
  const std::string_view password =
      blank == std::string_view::npos ? std::string_view() : argument.substr(blank + 1);
  // A banned login is refused before its password costs a check.
  if (const Ban* ban = lobby.LoginBan(login)) {
    lobby.Refuse(user, "G_LOGIN", "the login is banned; not checked");
    lobby.outbox.Send(user.id, ChatLine("S_CHAT", kServerSpeaker, lobby.BanLine(*ban)));
    lobby.outbox.Send(user.id, Message("S_ELOGIN", {"15"}));
    return;
  }
  // A login cut off for flooding stays out for the cool-off, from any
  // address, while the others behind its address play on.
  const auto cooling = lobby.coolingLogins.find(LoginKey(std::string(login)));
  if (cooling != lobby.coolingLogins.end() && lobby.arrived < cooling->second) {
    lobby.metrics.Defended(Defence::kLoginThrottled);
    lobby.Refuse(user, "G_LOGIN", "its connection was cut off lately; not checked");
    lobby.outbox.Send(user.id, Message("S_ELOGIN", {"15"}));
    return;
  }
  lobby.outbox.CheckLogin(user.id, std::string(login), std::string(password),
                          MayRegister(lobby, user, login, password));
}

void ListUsers(LobbyContext& lobby, User& user, std::string_view) {
  lobby.SendList(user, ListSlot::kUsers, lobby.arrived);
}

void ListParties(LobbyContext& lobby, User& user, std::string_view) {
  lobby.SendList(user, ListSlot::kParties, lobby.arrived);
}

void Chat(LobbyContext& lobby, User& user, std::string_view text) {
  if (user.moderator && user.login && text.starts_with('/')) {
    ModeratorCommand(lobby, user, text);
    return;
  }
  if (lobby.Muted(user, "G_CHAT")) return;
  lobby.ToJoined(ChatLine("S_CHAT", user.name, text));
}

void Info(LobbyContext& lobby, User& user, std::string_view argument) {
  const auto id = ParseInt32(argument);
  const User* other = id ? lobby.FindUser(*id) : nullptr;
  if (!other || !other->joined) {
    lobby.Refuse(user, "G_INFO", "no such user '" + Clip(argument) + "'");
    return;
  }
  std::string answer =
      Message("S_INFO", {Number(other->id), other->name, other->login ? *other->login : "guest"});
  const int32_t asker = user.id;
  if (!other->login) {
    lobby.outbox.Send(asker, answer + "," + Number(other->guest.prize) + "," + Number(other->guest.wins));
    return;
  }
  // The account's totals are read off the loop; the answer goes to the asker
  // if still here, with the name and login as they were asked about.
  lobby.outbox.OffLoop([&lobby, asker, login = *other->login, answer = std::move(answer)] {
    const Statistics statistics = lobby.accounts.Read(login).value_or(Statistics{});
    return [&lobby, asker, answer, statistics] {
      if (lobby.users.count(asker) == 0) return;
      lobby.outbox.Send(asker, answer + "," + Number(statistics.prize) + "," + Number(statistics.wins));
    };
  });
}

void Rename(LobbyContext& lobby, User& user, std::string_view argument) {
  std::string name = CleanName(argument);
  const NameRefusal refusal =
      CheckName(name, [&](const std::string& key) { return lobby.NameInUse(key, user.id); });
  if (refusal != NameRefusal::kNone) {
    lobby.Refuse(user, "G_RENAME", RefusalText(refusal));
    return;
  }
  user.nameKey = NameKey(name);
  user.name = std::move(name);
  lobby.ListsChanged();
  lobby.ToJoined(Message("S_RENAME", {Number(user.id), user.name}));
}

void Bye(LobbyContext& lobby, User& user, std::string_view) { lobby.SendAway(user, {}, "said goodbye"); }

constexpr Route kRoutes[] = {
    {"G_JOIN", Join, Meter::kNone, kDropped, kBeforeJoin, kNameArgument},
    {"G_LOGIN", LogIn, Meter::kLogin, Answered("S_ELOGIN,15"), false, 1024},
    {"G_LIST", ListUsers, Meter::kNone, kDropped, false, kNumberArgument},
    {"G_PLIST", ListParties, Meter::kNone, kDropped, false, kNumberArgument},
    {"G_CHAT", Chat, Meter::kChat},
    {"G_INFO", Info, Meter::kQuestion, kDropped, false, kNumberArgument},
    {"G_RENAME", Rename, Meter::kBroadcast, kDropped, false, kNameArgument},
    {"G_BYE", Bye, Meter::kNone, kDropped, kBeforeJoin, kNumberArgument},
};

}  // namespace

std::span<const Route> LobbyRoutes() { return kRoutes; }

}  // namespace gorvane::server
