// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/lobby/lobby.h"

#include "server/base/wire.h"
#include "server/lobby/lobby_context.h"
#include "server/lobby/names.h"
#include "server/lobby/owed_results.h"
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

const Route* FindRoute(std::string_view kind) {
  for (const std::span<const Route> rows : {LobbyRoutes(), PartyRoutes()}) {
    for (const Route& route : rows) {
      if (route.kind == kind) return &route;
    }
  }
  return nullptr;
}

// No ASCII comma, quote or blank: the text goes out as one unquoted field.
constexpr std::string_view kWelcome =
    "Gorvaneサーバへようこそ．メニュー「ロビー」>「パーティ作成」でパーティを作り，仲間が加わったら"
    "パーティウィンドウの「パーティ」>「ゲーム開始」でゲームを始めます．";
// The same to a plain connection while logins need TLS: a player whose
// client never learnt it knows why its login fails, and that guests play.
constexpr std::string_view kWelcomePlain =
    "Gorvaneサーバへようこそ．このサーバへのログインは暗号化された接続（TLS）でだけ受け付けます．"
    "ゲストのままなら遊べます．メニュー「ロビー」>「パーティ作成」でパーティを作り，仲間が加わったら"
    "パーティウィンドウの「パーティ」>「ゲーム開始」でゲームを始めます．";

// Joined to the welcome: how a player comes by a login here.
constexpr std::string_view kRegistrationOpen =
    "ログイン名と8文字以上のパスワードを設定して接続すると登録されます．";
constexpr std::string_view kRegistrationClosed = "ログイン名はサーバの管理者が発行します．";
constexpr std::string_view kMotdHead = "お知らせ：";

}  // namespace

std::string LobbyContext::Welcome(bool plainLoginsRefused) const {
  std::string text = sjis::Text(plainLoginsRefused ? kWelcomePlain : kWelcome);
  text += sjis::Text(rules.registrationOpen ? kRegistrationOpen : kRegistrationClosed);
  // Whatever a moderator typed: Message quotes the field as the client's
  // split expects, commas, quotes and blanks included.
  if (!book.motd.empty()) text += sjis::Text(kMotdHead) + book.motd;
  return text;
}

Lobby::Lobby(const CardCatalogue& cards, AccountStore& accounts, std::mt19937& rng, Outbox& outbox,
             LogSink log, LobbyRules rules, Metrics* metrics)
    : ownMetrics_(metrics ? nullptr : std::make_unique<Metrics>(CommandKinds())),
      context_(std::make_unique<LobbyContext>(cards, accounts, rng, outbox, std::move(log), rules,
                                              metrics ? *metrics : *ownMetrics_)) {}

Lobby::~Lobby() = default;

void Lobby::Connect(int32_t user, const Arrival& arrival) { context_->Connect(user, arrival); }

void Lobby::Handle(int32_t user, std::string_view message, TimePoint now) {
  context_->Handle(user, message, now);
}

void Lobby::Disconnect(int32_t user) { context_->Disconnect(user); }

void Lobby::CutOff(int32_t user, TimePoint now) {
  if (const User* found = context_->FindUser(user)) context_->CoolLogin(*found, now);
}

void Lobby::LoginAnswered(int32_t user, const std::string& login, const LoginVerdict& verdict) {
  context_->LoginAnswered(user, login, verdict);
}

void Lobby::ModerationRead(ModerationState state, int64_t began) {
  context_->ModerationRead(std::move(state), began);
}

std::optional<TimePoint> Lobby::Tick(TimePoint now) { return context_->Tick(now); }

std::optional<TimePoint> Lobby::PumpResults(TimePoint now) {
  return context_->results.Pump(context_->outbox, now);
}

size_t Lobby::resultsOwed() const { return context_->results.size(); }

std::vector<OwedResult> Lobby::UnwrittenResults() { return context_->results.Unwritten(); }

const User* Lobby::FindUser(int32_t id) const { return context_->FindUser(id); }

const Party* Lobby::FindParty(int32_t number) const { return context_->FindParty(number); }

const std::map<int32_t, User>& Lobby::users() const { return context_->users; }

const std::map<int32_t, Party>& Lobby::parties() const { return context_->parties; }

size_t Lobby::joinedCount() const { return context_->joinedCount; }

size_t Lobby::listsOwed() const { return context_->owedLists.size(); }

std::vector<std::string_view> Lobby::CommandKinds() {
  std::vector<std::string_view> kinds;
  for (const std::span<const Route> rows : {LobbyRoutes(), PartyRoutes()}) {
    for (const Route& route : rows) kinds.push_back(route.kind);
  }
  return kinds;
}

bool Lobby::CanMakeRoom(TimePoint now) const {
  return context_->joinedCount < context_->rules.maxUsers || context_->Silent(now) != nullptr;
}

LobbyContext::LobbyContext(const CardCatalogue& cards, AccountStore& accounts, std::mt19937& rng,
                           Outbox& outbox, LogSink log, LobbyRules rules, Metrics& metrics)
    : cards(cards),
      accounts(accounts),
      rng(rng),
      outbox(outbox),
      log(std::move(log)),
      rules(rules),
      metrics(metrics),
      relays({rules.relaysPerSecond, 0}, std::chrono::seconds(1)),
      results(accounts, [this](std::string_view line) {
        if (this->log) this->log(line);
      }) {}

LobbyContext::~LobbyContext() { metrics.LobbyClosed(); }

const User* LobbyContext::FindUser(int32_t id) const {
  const auto found = users.find(id);
  return found == users.end() ? nullptr : &found->second;
}

const Party* LobbyContext::FindParty(int32_t number) const {
  const auto found = parties.find(number);
  return found == parties.end() ? nullptr : &found->second;
}

void LobbyContext::Refuse(const User& user, std::string_view kind, std::string_view why) {
  if (!log) {
    ++user.refusals;
    return;
  }
  const RateLimit::Decision logged = user.refusalsLogged.Admit(SteadyClock::now(), 0);
  if (logged.verdict != RateLimit::Verdict::kPass) {
    metrics.Defended(Defence::kLogSuppressed);
    if (logged.firstDrop) log("user " + Number(user.id) + ": more refusals, not logged for a while");
    ++user.refusals;
    return;
  }
  ++user.refusals;
  std::string line = "user " + Number(user.id) + ": refused ";
  line += kind.empty() ? std::string("an empty message") : Clip(kind);
  line += ": ";
  line += why;
  log(line);
}

bool LobbyContext::NameInUse(const std::string& key, int32_t other) const {
  for (const auto& [id, user] : users) {
    if (id != other && user.joined && user.nameKey == key) return true;
  }
  return false;
}

void LobbyContext::ToJoined(const std::string& text) {
  const Framed framed = Frame(text);
  for (const auto& [id, user] : users) {
    if (user.joined) outbox.SendFramed(id, framed, ListSlot::kNone);
  }
}

void LobbyContext::ToParty(const Party& party, const std::string& text) {
  const Framed framed = Frame(text);
  for (const int32_t member : party.members) outbox.SendFramed(member, framed, ListSlot::kNone);
}

void LobbyContext::Deliver(const Mail& mail) {
  for (const Envelope& envelope : mail) outbox.Send(envelope.to, envelope.text);
}

void LobbyContext::ListsChanged() {
  userList.reset();
  partyList.reset();
  ++listsVersion;
}

void LobbyContext::Forget(std::map<int32_t, User>::iterator user) {
  if (user->second.joined) {
    --joinedCount;
    metrics.Users(joinedCount);
    ListsChanged();
  }
  users.erase(user);
}

void LobbyContext::Connect(int32_t user, const Arrival& arrival) {
  User& fresh = users[user] = User();
  fresh.id = user;
  fresh.chat = RateLimit(rules.chat, rules.window);
  fresh.broadcasts = RateLimit(rules.broadcasts, rules.window);
  fresh.questions = RateLimit(rules.broadcasts, rules.window);
  fresh.logins = RateLimit(rules.logins, rules.window);
  fresh.refusalsLogged = RateLimit({kRefusalsLogged, 0}, rules.window);
  fresh.commands = WindowCount(rules.commands.count, rules.window);
  fresh.refused = RateLimit({rules.chat.count, 0}, rules.window);
  fresh.plainLoginsRefused = arrival.plainLoginsRefused;
  fresh.plainWhileTls = !arrival.tlsOffer.empty();
  fresh.address = arrival.address;
  fresh.connectedAt = Now();
  // The client shows this on connecting, when a newcomer most needs to know
  // how a game comes about.
  outbox.Send(user, Message("S_CONNECT", {Number(user), Welcome(arrival.plainLoginsRefused)}));
  // Written as it is: the fingerprint's colons are its own, not a record's.
  if (!arrival.tlsOffer.empty()) outbox.Send(user, "S_TLS," + arrival.tlsOffer);
}

bool LobbyContext::Metered(User& user, const Route& route, size_t bytes, TimePoint now) {
  if (route.meter == Meter::kNone) return true;
  const bool chat = route.meter == Meter::kChat;
  const bool login = route.meter == Meter::kLogin;
  const bool question = route.meter == Meter::kQuestion;
  RateLimit& meter = chat ? user.chat : login ? user.logins : question ? user.questions : user.broadcasts;
  const RateLimit::Decision decision = meter.Admit(now, bytes);
  if (decision.verdict == RateLimit::Verdict::kPass) return true;
  const RateRule& rule = chat ? rules.chat : login ? rules.logins : rules.broadcasts;
  std::string limit = Number(static_cast<int64_t>(rule.count)) + (chat       ? " lines"
                                                                  : login    ? " logins"
                                                                  : question ? " questions"
                                                                             : " lobby broadcasts");
  if (rule.bytes != 0) limit += " and " + Number(static_cast<int64_t>(rule.bytes)) + " bytes";
  limit += " per " + Seconds(rules.window) + " s";
  if (decision.verdict == RateLimit::Verdict::kCut) {
    CutOff(user, Defence::kCutOff, std::string(route.kind) + " at ten times the limit of " + limit);
    return false;
  }
  if (route.overLimit.standsInParty && user.party != 0) return true;
  metrics.Defended(Defence::kRateLimited);
  if (decision.firstDrop && log) {
    log("user " + Number(user.id) + ": dropping " + std::string(route.kind) + " over the limit of " + limit +
        " (not logged again until one passes)");
  }
  if (!route.overLimit.answer.empty()) outbox.Send(user.id, route.overLimit.answer);
  return false;
}

void LobbyContext::Handle(int32_t id, std::string_view message, TimePoint now) {
  arrived = now;
  const auto found = users.find(id);
  if (found == users.end() || found->second.cut) return;
  const uint64_t refusals = found->second.refusals;
  const bool handled = Dispatch(found->second, message, now);
  // The handler may have let the user go.
  const auto after = users.find(id);
  if (after == users.end() || after->second.cut) return;
  User& user = after->second;
  if (handled && user.refusals == refusals) {
    // Only what the server took counts as heard: a refused command every
    // few seconds must not keep a place in a full lobby.
    user.lastHeard = now;
    return;
  }
  if (user.refused.Admit(now, 0).verdict == RateLimit::Verdict::kCut) {
    CutOff(user, Defence::kRefusedFlood,
           "refused commands at ten times " + Number(static_cast<int64_t>(rules.chat.count)) + " per " +
               Seconds(rules.window) + " s");
  }
}

bool LobbyContext::Dispatch(User& user, std::string_view message, TimePoint now) {
  const int32_t id = user.id;
  const Command command = ParseCommand(message);
  // Past the budget a command is refused, and so counts towards the cut.
  if (!user.commands.Admit(now)) {
    metrics.Defended(Defence::kRateLimited);
    Refuse(user, command.kind,
           "over " + Number(static_cast<int64_t>(rules.commands.count)) + " commands per " +
               Seconds(rules.window) + " s");
    return false;
  }
  if (ParseInt32(command.id) != id) {
    Refuse(user, command.kind, "it speaks as id '" + Clip(command.id) + "'");
    return false;
  }
  const Route* route = FindRoute(command.kind);
  if (!user.joined && (route == nullptr || !route->beforeJoin)) {
    Refuse(user, command.kind, "not joined yet");
    return false;
  }
  if (route == nullptr) {
    Refuse(user, command.kind, "unknown kind");
    return false;
  }
  if (route->maxBytes != 0 && command.argument.size() > route->maxBytes) {
    metrics.Defended(Defence::kOversizedCommand);
    Refuse(user, command.kind,
           "longer than any valid one (" + Number(static_cast<int64_t>(command.argument.size())) + " bytes)");
    return false;
  }
  if (route->meter == Meter::kChat) {
    // What counts against the limit is what would be relayed.
    const std::string text = CleanText(command.argument, kChatTextBytes);
    if (text.empty()) {
      Refuse(user, command.kind, "nothing left to say once cleaned");
      return false;
    }
    if (!Metered(user, *route, text.size(), now)) return false;
    route->handler(*this, user, text);
    return true;
  }
  if (!Metered(user, *route, 0, now)) return false;
  route->handler(*this, user, command.argument);
  return true;
}

void LobbyContext::CutOff(User& user, Defence defence, const std::string& why) {
  user.cut = true;
  metrics.Defended(defence);
  CoolLogin(user, arrived);
  outbox.Cut(user.id, why);
}

void LobbyContext::CoolLogin(const User& user, TimePoint now) {
  if (!user.login) return;
  std::erase_if(coolingLogins, [&](const auto& entry) { return entry.second <= now; });
  coolingLogins[LoginKey(*user.login)] = now + kLoginCoolOff;
}

void LobbyContext::Disconnect(int32_t id) {
  const auto found = users.find(id);
  if (found == users.end()) return;
  Leave(found->second);
  const bool joined = found->second.joined;
  Forget(found);
  if (joined) Relay(Message("S_ABNORMAL", {Number(id)}));
}

void LobbyContext::SendAway(User& user, const std::string& line, const std::string& why) {
  const int32_t id = user.id;
  const bool joined = user.joined;
  Leave(user);
  if (!line.empty()) outbox.Send(id, ChatLine("S_CHAT", kServerSpeaker, line));
  outbox.Send(id, "S_BYE");
  outbox.Close(id, why);
  Forget(users.find(id));
  if (joined) Relay(Message("S_QUIT", {Number(id)}));
}

void LobbyContext::LoginAnswered(int32_t id, const std::string& login, const LoginVerdict& verdict) {
  const LoginOutcome outcome = verdict.outcome;
  metrics.LoginAnswered(outcome);
  const auto found = users.find(id);
  if (found == users.end()) return;
  User& user = found->second;
  switch (outcome) {
    case LoginOutcome::kOk:
      user.login = login;
      user.moderator = verdict.moderator;
      if (verdict.registered && log)
        log("user " + Number(user.id) + ": registered the login " + Printable(login));
      if (verdict.moderator && log) log("user " + Number(user.id) + ": logged in as a moderator");
      outbox.Send(user.id, "S_LOGIN");
      return;
    case LoginOutcome::kWrongPassword:
      Refuse(user, "G_LOGIN", "wrong password");
      outbox.Send(user.id, Message("S_ELOGIN", {"15"}));
      return;
    case LoginOutcome::kThrottled:
      Refuse(
          user, "G_LOGIN",
          "too many failed logins from this address, or too many checks of this login waiting; not checked");
      outbox.Send(user.id, Message("S_ELOGIN", {"15"}));
      return;
    case LoginOutcome::kFailed:
      // The user cannot tell a store that is down from a mistyped password,
      // and need not: trying again later works.
      Refuse(user, "G_LOGIN", "the account store failed; answered as a wrong password");
      outbox.Send(user.id, Message("S_ELOGIN", {"15"}));
      return;
    case LoginOutcome::kUnknown:
      Refuse(user, "G_LOGIN", "unknown login");
      break;
  }
  outbox.Send(user.id, Message("S_ELOGIN", {"14"}));
}

const Framed& LobbyContext::UserList() {
  if (!userList) {
    std::vector<std::string> records;
    records.reserve(joinedCount);
    for (const auto& [id, other] : users) {
      if (other.joined) records.push_back(Record({Number(id), other.name, Number(other.party)}));
    }
    userList = Frame(Message("S_LIST", records));
  }
  return userList;
}

const Framed& LobbyContext::PartyList() {
  if (!partyList) {
    std::vector<std::string> records;
    for (const auto& [number, party] : parties) {
      records.push_back(Record({Number(number), Number(party.leader),
                                Number(static_cast<int64_t>(party.members.size())), party.game ? "1" : "0"}));
    }
    partyList = Frame(Message("S_GLIST", records));
  }
  return partyList;
}

void LobbyContext::SendList(User& user, ListSlot slot, TimePoint now) {
  const size_t which = slot == ListSlot::kUsers ? 0 : 1;
  const bool same = user.listVersion[which] == listsVersion;
  if (same && now - user.listSent[which] < kListGap) {
    if (!user.listOwed[which]) {
      metrics.Defended(Defence::kListDeferred);
      user.listOwed[which] = true;
      owedLists.push({user.listSent[which] + kListGap, user.id, slot});
    }
    return;
  }
  user.listSent[which] = now;
  user.listVersion[which] = listsVersion;
  user.listOwed[which] = false;
  outbox.SendFramed(user.id, slot == ListSlot::kUsers ? UserList() : PartyList(), slot);
}

}  // namespace gorvane::server
