#include "server/lobby.h"

#include "server/wire.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane::server {
namespace {

std::string Number(int64_t value) { return std::to_string(value); }

// Refusals of one user logged per window at most.
constexpr size_t kRefusalsLogged = 20;

std::string Seconds(Duration duration) {
  return Number(std::chrono::duration_cast<std::chrono::seconds>(duration).count());
}

// No ASCII comma, quote or blank: the text goes out as one unquoted field.
constexpr std::string_view kWelcome =
    "Gorvaneサーバへようこそ．メニュー「ロビー」>「パーティ作成」でパーティを作り，仲間が加わったら"
    "パーティウィンドウの「パーティ」>「ゲーム開始」でゲームを始めます．";

}  // namespace

const Lobby::Route Lobby::kRoutes[] = {
    {"G_JOIN", &Lobby::Join},
    {"G_LOGIN", &Lobby::LogIn, Meter::kLogin},
    {"G_LIST", &Lobby::ListUsers},
    {"G_PLIST", &Lobby::ListParties},
    {"G_CHAT", &Lobby::Chat, Meter::kChat},
    {"G_INFO", &Lobby::Info},
    {"G_RENAME", &Lobby::Rename, Meter::kBroadcast},
    {"G_BYE", &Lobby::Bye},
    {"P_CREATE", &Lobby::CreateParty, Meter::kBroadcast},
    {"P_JOIN", &Lobby::JoinParty, Meter::kBroadcast},
    {"P_LIST", &Lobby::ListMembers},
    {"P_CHAT", &Lobby::PartyChat, Meter::kChat},
    {"P_BYE", &Lobby::LeaveParty, Meter::kBroadcast},
    {"P_START", &Lobby::StartGame},
    {"P_DROW", &Lobby::Draw},
    {"P_PLAY", &Lobby::Play},
    {"P_PILE", &Lobby::Pile},
    {"P_TURNEND", &Lobby::EndTurn},
};

Lobby::Lobby(const CardCatalogue& cards, AccountStore& accounts, std::mt19937& rng, Outbox& outbox,
             LogSink log, LobbyRules rules)
    : cards_(cards), accounts_(accounts), rng_(rng), outbox_(outbox), log_(std::move(log)), rules_(rules) {}

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
  const RateLimit::Decision logged = user.refusalsLogged.Admit(SteadyClock::now(), 0);
  if (logged.verdict != RateLimit::Verdict::kPass) {
    if (logged.firstDrop) log_("user " + Number(user.id) + ": more refusals, not logged for a while");
    return;
  }
  std::string line = "user " + Number(user.id) + ": refused ";
  line += kind.empty() ? std::string("an empty message") : Clip(kind);
  line += ": ";
  line += why;
  log_(line);
}

void Lobby::ToJoined(const std::string& text) {
  const Framed framed = Frame(text);
  for (const auto& [id, user] : users_) {
    if (user.joined) outbox_.SendFramed(id, framed, ListSlot::kNone);
  }
}

void Lobby::ToParty(const Party& party, const std::string& text) {
  const Framed framed = Frame(text);
  for (const int32_t member : party.members) outbox_.SendFramed(member, framed, ListSlot::kNone);
}

void Lobby::Deliver(const Mail& mail) {
  for (const Envelope& envelope : mail) outbox_.Send(envelope.to, envelope.text);
}

void Lobby::ListsChanged() {
  userList_.reset();
  partyList_.reset();
  ++listsVersion_;
}

void Lobby::Forget(std::map<int32_t, User>::iterator user) {
  if (user->second.joined) {
    --joined_;
    ListsChanged();
  }
  users_.erase(user);
}

void Lobby::Connect(int32_t user) {
  User& fresh = users_[user] = User();
  fresh.id = user;
  fresh.chat = RateLimit(rules_.chat, rules_.window);
  fresh.broadcasts = RateLimit(rules_.broadcasts, rules_.window);
  fresh.logins = RateLimit(rules_.logins, rules_.window);
  fresh.refusalsLogged = RateLimit({kRefusalsLogged, 0}, rules_.window);
  // The client shows this on connecting, when a newcomer most needs to know
  // how a game comes about.
  outbox_.Send(user, Message("S_CONNECT", {Number(user), sjis::Text(kWelcome)}));
}

bool Lobby::Metered(User& user, const Route& route, size_t bytes, TimePoint now) {
  if (route.meter == Meter::kNone) return true;
  const bool chat = route.meter == Meter::kChat;
  const bool login = route.meter == Meter::kLogin;
  RateLimit& meter = chat ? user.chat : login ? user.logins : user.broadcasts;
  const RateLimit::Decision decision = meter.Admit(now, bytes);
  if (decision.verdict == RateLimit::Verdict::kPass) return true;
  const RateRule& rule = chat ? rules_.chat : login ? rules_.logins : rules_.broadcasts;
  std::string limit = Number(static_cast<int64_t>(rule.count)) + (chat    ? " lines"
                                                                  : login ? " logins"
                                                                          : " lobby broadcasts");
  if (rule.bytes != 0) limit += " and " + Number(static_cast<int64_t>(rule.bytes)) + " bytes";
  limit += " per " + Seconds(rules_.window) + " s";
  if (decision.verdict == RateLimit::Verdict::kCut) {
    outbox_.Cut(user.id, std::string(route.kind) + " at ten times the limit of " + limit);
    return false;
  }
  // A member who leaves a party has closed its window: the leave stands,
  // and what it tells the others is bounded by the creates and joins that
  // passed.
  if (route.kind == "P_BYE" && user.party != 0) return true;
  if (decision.firstDrop && log_) {
    log_("user " + Number(user.id) + ": dropping " + std::string(route.kind) + " over the limit of " + limit +
         " (not logged again until one passes)");
  }
  // The usual refusals, to the sender alone.
  if (route.kind == "P_JOIN") outbox_.Send(user.id, "S_PCANCEL");
  if (login) outbox_.Send(user.id, Message("S_ELOGIN", {"15"}));
  return false;
}

void Lobby::Handle(int32_t id, std::string_view message, TimePoint now) {
  now_ = now;
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
    if (route.kind != command.kind) continue;
    if (route.meter == Meter::kChat) {
      // What counts against the limit is what would be relayed.
      const std::string text = CleanText(command.argument, kChatTextBytes);
      if (text.empty()) {
        Refuse(user, command.kind, "nothing left to say once cleaned");
        return;
      }
      if (Metered(user, route, text.size(), now)) (this->*route.handler)(user, text);
      return;
    }
    if (Metered(user, route, 0, now)) (this->*route.handler)(user, command.argument);
    return;
  }
  Refuse(user, command.kind, "unknown kind");
}

void Lobby::Disconnect(int32_t id) {
  const auto found = users_.find(id);
  if (found == users_.end()) return;
  Leave(found->second);
  const bool joined = found->second.joined;
  Forget(found);
  if (joined) ToJoined(Message("S_ABNORMAL", {Number(id)}));
}

void Lobby::Join(User& user, std::string_view argument) {
  if (user.joined) {
    Refuse(user, "G_JOIN", "already joined");
    return;
  }
  if (joined_ >= rules_.maxUsers) {
    Refuse(user, "G_JOIN", Number(static_cast<int64_t>(rules_.maxUsers)) + " users already");
    const int32_t id = user.id;
    outbox_.Send(id, "S_EXCEED");
    outbox_.Close(id, "turned away: the server is full");
    users_.erase(id);
    return;
  }
  user.joined = true;
  ++joined_;
  ListsChanged();
  user.name = CleanText(argument, kNameBytes);
  ToJoined(Message("S_GREETING", {Number(user.id), user.name}));
}

void Lobby::LogIn(User& user, std::string_view argument) {
  const size_t blank = argument.find(' ');
  const std::string_view login = argument.substr(0, blank);
  const std::string_view password =
      blank == std::string_view::npos ? std::string_view() : argument.substr(blank + 1);
  outbox_.CheckLogin(user.id, std::string(login), std::string(password));
}

void Lobby::LoginAnswered(int32_t id, const std::string& login, LoginOutcome outcome) {
  const auto found = users_.find(id);
  if (found == users_.end()) return;
  User& user = found->second;
  switch (outcome) {
    case LoginOutcome::kOk:
      user.login = login;
      outbox_.Send(user.id, "S_LOGIN");
      return;
    case LoginOutcome::kWrongPassword:
      Refuse(user, "G_LOGIN", "wrong password");
      outbox_.Send(user.id, Message("S_ELOGIN", {"15"}));
      return;
    case LoginOutcome::kThrottled:
      Refuse(user, "G_LOGIN", "too many failed logins from this address or for this login; not checked");
      outbox_.Send(user.id, Message("S_ELOGIN", {"15"}));
      return;
    case LoginOutcome::kUnknown:
      Refuse(user, "G_LOGIN", "unknown login");
      break;
    case LoginOutcome::kFailed:
      Refuse(user, "G_LOGIN", "the account store failed");
      break;
  }
  outbox_.Send(user.id, Message("S_ELOGIN", {"14"}));
}

const Framed& Lobby::UserList() {
  if (!userList_) {
    std::vector<std::string> records;
    records.reserve(joined_);
    for (const auto& [id, other] : users_) {
      if (other.joined) records.push_back(Record({Number(id), other.name, Number(other.party)}));
    }
    userList_ = Frame(Message("S_LIST", records));
  }
  return userList_;
}

const Framed& Lobby::PartyList() {
  if (!partyList_) {
    std::vector<std::string> records;
    for (const auto& [number, party] : parties_) {
      records.push_back(Record({Number(number), Number(party.leader),
                                Number(static_cast<int64_t>(party.members.size())), party.game ? "1" : "0"}));
    }
    partyList_ = Frame(Message("S_GLIST", records));
  }
  return partyList_;
}

void Lobby::SendList(User& user, ListSlot slot, TimePoint now) {
  const size_t which = slot == ListSlot::kUsers ? 0 : 1;
  const bool same = user.listVersion[which] == listsVersion_;
  if (same && now - user.listSent[which] < kListGap) {
    if (!user.listOwed[which]) {
      user.listOwed[which] = true;
      owedLists_.push({user.listSent[which] + kListGap, user.id, slot});
    }
    return;
  }
  user.listSent[which] = now;
  user.listVersion[which] = listsVersion_;
  user.listOwed[which] = false;
  outbox_.SendFramed(user.id, slot == ListSlot::kUsers ? UserList() : PartyList(), slot);
}

void Lobby::ListUsers(User& user, std::string_view) { SendList(user, ListSlot::kUsers, now_); }

void Lobby::ListParties(User& user, std::string_view) { SendList(user, ListSlot::kParties, now_); }

void Lobby::Chat(User& user, std::string_view text) { ToJoined(ChatLine("S_CHAT", user.name, text)); }

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
  std::string name = CleanText(argument, kNameBytes);
  if (name.empty() || name.find('"') != std::string::npos) {
    Refuse(user, "G_RENAME", "an empty name or one with a double quote");
    return;
  }
  user.name = std::move(name);
  ListsChanged();
  ToJoined(Message("S_RENAME", {Number(user.id), user.name}));
}

void Lobby::Bye(User& user, std::string_view) {
  const int32_t id = user.id;
  const bool joined = user.joined;
  Leave(user);
  outbox_.Send(id, "S_BYE");
  outbox_.Close(id, "said goodbye");
  Forget(users_.find(id));
  if (joined) ToJoined(Message("S_QUIT", {Number(id)}));
}

}  // namespace gorvane::server
