// SPDX-License-Identifier: GPL-3.0-or-later
// Moderators' commands, typed as lobby chat lines beginning with "/", and
// the book of bans, mutes and the message of the day they keep. Every
// action holds here at once and is written to the store off the loop, where
// the other servers on that store read it.
#include <time.h>

#include <algorithm>
#include <array>
#include <set>

#include "server/base/net.h"
#include "server/base/wire.h"
#include "server/lobby/lobby_context.h"
#include "server/lobby/names.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane::server {
namespace {

std::string Number(int64_t value) { return std::to_string(value); }

// Own actions kept for want of a read that holds them; past this the
// oldest go (a store that never answers must not grow the lobby).
constexpr size_t kOwnActionsKept = 1000;
// Bans /bans lists at most: thousands of lines at once would overflow the
// moderator's own queue and cut it off as a slow reader.
constexpr size_t kBansListed = 50;

// The server's local time, as the host reads its clock.
std::string LocalTime(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  tm local{};
  localtime_r(&t, &local);
  std::array<char, 32> text{};
  strftime(text.data(), text.size(), "%Y-%m-%d %H:%M", &local);
  return text.data();
}

// "2026-12-10 12:00まで", or for good.
std::string Until(int64_t until) {
  return until == 0 ? sjis::Text("永久に") : LocalTime(until) + sjis::Text("まで");
}

std::string Reason(std::string_view reason) {
  return reason.empty() ? std::string() : sjis::Text("（理由：") + std::string(reason) + sjis::Text("）");
}

void Tell(LobbyContext& lobby, int32_t user, const std::string& text) {
  lobby.outbox.Send(user, ChatLine("S_CHAT", kServerSpeaker, text));
}

// The first blank-separated word of the text, and what follows it.
std::pair<std::string_view, std::string_view> Word(std::string_view text) {
  const size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) return {{}, {}};
  text = text.substr(start);
  const size_t end = text.find(' ');
  if (end == std::string_view::npos) return {text, {}};
  const std::string_view rest = text.substr(end + 1);
  const size_t next = rest.find_first_not_of(' ');
  return {text.substr(0, end), next == std::string_view::npos ? std::string_view() : rest.substr(next)};
}

struct ModCommand;
using CommandHandler = void (*)(LobbyContext& lobby, User& moderator, const ModCommand& command,
                                std::string_view arguments);

struct ModCommand {
  std::string_view name;
  CommandHandler handler;
  std::string_view form;  // UTF-8, as typed
  std::string_view help;  // UTF-8
};

// What was wrong (UTF-8, then what the moderator typed as it came) and the
// command's form.
void Usage(LobbyContext& lobby, const User& moderator, const ModCommand& command, std::string_view problem,
           std::string_view typed = {}) {
  Tell(lobby, moderator.id,
       sjis::Text(problem) + Clip(typed) + sjis::Text("．書式：") + sjis::Text(command.form));
}

// The joined user the text names: "#ID" or a name as shown.
User* Target(LobbyContext& lobby, std::string_view text) {
  if (text.starts_with('#')) {
    const auto id = ParseInt32(text.substr(1));
    const auto found = id ? lobby.users.find(*id) : lobby.users.end();
    return found != lobby.users.end() && found->second.joined ? &found->second : nullptr;
  }
  const std::string key = NameKey(CleanName(text));
  for (auto& [id, user] : lobby.users) {
    if (user.joined && user.nameKey == key) return &user;
  }
  return nullptr;
}

// The user the command is for, or nothing with the moderator told why.
User* Subject(LobbyContext& lobby, User& moderator, const ModCommand& command, std::string_view name) {
  if (name.empty()) {
    Usage(lobby, moderator, command, "引数が足りません");
    return nullptr;
  }
  User* target = Target(lobby, name);
  if (target == nullptr) {
    Usage(lobby, moderator, command, "その利用者はいません：", name);
    return nullptr;
  }
  if (target->moderator) {
    Tell(lobby, moderator.id, sjis::Text("モデレータには使えません：") + target->name);
    return nullptr;
  }
  return target;
}

// Minutes as typed: a whole number, zero only where it means for good.
std::optional<int64_t> Minutes(std::string_view text, bool zeroAllowed) {
  const auto minutes = ParseInt32(text);
  if (!minutes || *minutes < (zeroAllowed ? 0 : 1)) return std::nullopt;
  return *minutes;
}

std::string_view ActionName(ModerationAction action) {
  return kModerationActionNames[static_cast<size_t>(action)];
}

// Counts, logs and audits the action; the audit is written off the loop.
void Record(LobbyContext& lobby, const User& moderator, ModerationAction action, std::string target,
            std::string reason) {
  lobby.metrics.Moderated(action);
  AuditEntry entry{lobby.Now(), *moderator.login, std::string(ActionName(action)), std::move(target),
                   std::move(reason)};
  if (lobby.log) {
    lobby.log("user " + Number(moderator.id) + ": moderator " + Printable(entry.moderator) + ": " +
              entry.action + " " + Printable(entry.target) +
              (entry.reason.empty() ? std::string() : ": " + Printable(entry.reason, 80)));
  }
  lobby.outbox.OffLoop([&lobby, entry = std::move(entry)] {
    std::string error;
    const bool stored = lobby.accounts.AddAudit(entry, error);
    return std::function<void()>([&lobby, stored, action = entry.action, error] {
      if (!stored && lobby.log) lobby.log("moderation: the " + action + " was not audited: " + error);
    });
  });
}

void Remember(LobbyContext& lobby, OwnAction action) {
  if (lobby.ownActions.size() >= kOwnActionsKept) lobby.ownActions.erase(lobby.ownActions.begin());
  lobby.ownActions.push_back(std::move(action));
}

// A store write of the action, its failure one line in the log.
void Write(LobbyContext& lobby, std::string what, std::function<bool(AccountStore&, std::string&)> write) {
  lobby.outbox.OffLoop([&lobby, what = std::move(what), write = std::move(write)] {
    std::string error;
    const bool stored = write(lobby.accounts, error);
    return std::function<void()>([&lobby, stored, what, error] {
      if (!stored && lobby.log) lobby.log("moderation: " + what + " not stored, held here alone: " + error);
    });
  });
}

void Help(LobbyContext& lobby, User& moderator, const ModCommand&, std::string_view);

void Who(LobbyContext& lobby, User& moderator, const ModCommand& command, std::string_view arguments) {
  const auto [name, rest] = Word(arguments);
  if (name.empty()) {
    Usage(lobby, moderator, command, "引数が足りません");
    return;
  }
  const User* target = Target(lobby, name);
  if (target == nullptr) {
    Usage(lobby, moderator, command, "その利用者はいません：", name);
    return;
  }
  std::string text = "#" + Number(target->id) + " " + target->name + " ";
  text += target->login ? sjis::Text("ログイン：") + *target->login : sjis::Text("ゲスト");
  if (target->moderator) text += sjis::Text("（モデレータ）");
  text += sjis::Text(" アドレス：") + (target->address.empty() ? "?" : target->address);
  text += sjis::Text(" 接続：") + LocalTime(target->connectedAt);
  text += sjis::Text(" パーティ：") + (target->party == 0 ? sjis::Text("なし") : Number(target->party));
  const auto party = lobby.parties.find(target->party);
  const bool playing = party != lobby.parties.end() && party->second.game;
  text += playing ? sjis::Text(" ゲーム中") : sjis::Text(" ゲーム外");
  Tell(lobby, moderator.id, text);
}

void Kick(LobbyContext& lobby, User& moderator, const ModCommand& command, std::string_view arguments) {
  const auto [name, reason] = Word(arguments);
  User* target = Subject(lobby, moderator, command, name);
  if (target == nullptr) return;
  const std::string shown = "#" + Number(target->id) + " " + target->name;
  Record(lobby, moderator, ModerationAction::kKick, shown, std::string(reason));
  lobby.SendAway(*target, sjis::Text("モデレータにより退出させられました") + Reason(reason),
                 "kicked by a moderator");
  Tell(lobby, moderator.id, shown + sjis::Text("を退出させました"));
}

void MuteUser(LobbyContext& lobby, User& moderator, const ModCommand& command, std::string_view arguments) {
  const auto [name, afterName] = Word(arguments);
  const auto [minutesText, reason] = Word(afterName);
  User* target = Subject(lobby, moderator, command, name);
  if (target == nullptr) return;
  const auto minutes = Minutes(minutesText, false);
  if (!minutes) {
    Usage(lobby, moderator, command, "分数は1以上の整数です");
    return;
  }
  Mute mute;
  // A logged-in user is muted wherever it logs in, a guest where it is.
  if (target->login) {
    mute.login = *target->login;
  } else {
    mute.address = target->address;
  }
  mute.madeAt = lobby.Now();
  mute.until = mute.madeAt + *minutes * 60;
  mute.moderator = *moderator.login;
  mute.reason = std::string(reason);
  lobby.book.mutes.insert(lobby.book.mutes.begin(), mute);
  Remember(lobby, {OwnAction::Kind::kMute, mute.madeAt, {}, mute, {}});
  Write(lobby, "a mute",
        [mute](AccountStore& store, std::string& error) { return store.AddMute(mute, error).has_value(); });
  const std::string shown = "#" + Number(target->id) + " " + target->name;
  Record(lobby, moderator, ModerationAction::kMute, mute.login.empty() ? mute.address : mute.login,
         mute.reason);
  target->muteTold = mute.madeAt;
  Tell(lobby, target->id, Until(mute.until) + sjis::Text("チャットを禁止されました") + Reason(reason));
  Tell(lobby, moderator.id,
       shown + sjis::Text("のチャットを") + Until(mute.until) + sjis::Text("止めました"));
}

void BanUser(LobbyContext& lobby, User& moderator, const ModCommand& command, std::string_view arguments) {
  const auto [name, afterName] = Word(arguments);
  const auto [minutesText, reason] = Word(afterName);
  if (name.empty()) {
    Usage(lobby, moderator, command, "引数が足りません");
    return;
  }
  Ban ban;
  std::string shown;
  if (auto address = AddressKeyOf(name, lobby.rules.ipv6Prefix)) {
    ban.address = std::move(*address);
    shown = ban.address;
  } else {
    const User* target = Subject(lobby, moderator, command, name);
    if (target == nullptr) return;
    if (target->login) ban.login = *target->login;
    ban.address = target->address;
    shown = "#" + Number(target->id) + " " + target->name;
  }
  const auto minutes = Minutes(minutesText, true);
  if (!minutes) {
    Usage(lobby, moderator, command, "分数は0（永久）以上の整数です");
    return;
  }
  ban.madeAt = lobby.Now();
  ban.until = *minutes == 0 ? 0 : ban.madeAt + *minutes * 60;
  ban.moderator = *moderator.login;
  ban.reason = std::string(reason);
  lobby.book.bans.insert(lobby.book.bans.begin(), ban);
  Remember(lobby, {OwnAction::Kind::kBan, ban.madeAt, ban, {}, {}});
  // The id the store gives it shows in /bans once known.
  lobby.outbox.OffLoop([&lobby, ban] {
    std::string error;
    const auto id = lobby.accounts.AddBan(ban, error);
    return std::function<void()>([&lobby, ban, id, error] {
      if (!id) {
        if (lobby.log) lobby.log("moderation: a ban not stored, held here alone: " + error);
        return;
      }
      for (Ban& held : lobby.book.bans) {
        if (held.id == 0 && held.madeAt == ban.madeAt && held.login == ban.login &&
            held.address == ban.address)
          held.id = *id;
      }
    });
  });
  const std::string target = ban.login.empty() ? ban.address : ban.login + " " + ban.address;
  Record(lobby, moderator, ModerationAction::kBan, target, ban.reason);
  const size_t before = lobby.users.size();
  lobby.SendAwayBanned();
  const size_t gone = before - lobby.users.size();
  Tell(lobby, moderator.id,
       shown + sjis::Text("を") + Until(ban.until) + sjis::Text("締め出しました（切断：") +
           Number(static_cast<int64_t>(gone)) + sjis::Text("人）"));
}

void Unban(LobbyContext& lobby, User& moderator, const ModCommand& command, std::string_view arguments) {
  const auto [what, rest] = Word(arguments);
  if (what.empty()) {
    Usage(lobby, moderator, command, "引数が足りません");
    return;
  }
  const std::string target = AddressKeyOf(what, lobby.rules.ipv6Prefix).value_or(std::string(what));
  const int64_t now = lobby.Now();
  const size_t lifted = std::erase_if(lobby.book.bans, [&](const Ban& ban) {
    return InForce(ban.until, now) && (ban.login == target || ban.address == target);
  });
  if (lifted == 0) {
    Tell(lobby, moderator.id, sjis::Text("その締め出しはありません：") + Clip(target));
    return;
  }
  Remember(lobby, {OwnAction::Kind::kLift, now, {}, {}, target});
  Write(lobby, "a lift of bans", [target, now](AccountStore& store, std::string& error) {
    return store.LiftBans(target, now, error).has_value();
  });
  Record(lobby, moderator, ModerationAction::kUnban, target, {});
  Tell(lobby, moderator.id,
       target + sjis::Text("の締め出しを解除しました（") + Number(static_cast<int64_t>(lifted)) +
           sjis::Text("件）"));
}

void Bans(LobbyContext& lobby, User& moderator, const ModCommand&, std::string_view) {
  const int64_t now = lobby.Now();
  std::vector<const Ban*> held;
  for (const Ban& ban : lobby.book.bans) {
    if (InForce(ban.until, now)) held.push_back(&ban);
  }
  std::stable_sort(held.begin(), held.end(),
                   [](const Ban* a, const Ban* b) { return a->madeAt > b->madeAt; });
  if (held.empty()) {
    Tell(lobby, moderator.id, sjis::Text("有効な締め出しはありません"));
    return;
  }
  for (size_t i = 0; i < std::min(held.size(), kBansListed); ++i) {
    const Ban* ban = held[i];
    std::string text = "#" + (ban->id == 0 ? std::string("-") : Number(ban->id)) + " ";
    if (!ban->login.empty()) text += ban->login + " ";
    if (!ban->address.empty()) text += ban->address + " ";
    text += ban->until == 0 ? sjis::Text("永久") : LocalTime(ban->until) + sjis::Text("まで");
    text += " " + ban->moderator;
    if (!ban->reason.empty()) text += " " + ban->reason;
    Tell(lobby, moderator.id, text);
  }
  if (held.size() > kBansListed) {
    Tell(lobby, moderator.id,
         sjis::Text("ほか") + Number(static_cast<int64_t>(held.size() - kBansListed)) +
             sjis::Text("件（/unbanで解除するか，gorvane-server --auditで履歴を見てください）"));
  }
}

void AnnounceAll(LobbyContext& lobby, User& moderator, const ModCommand& command,
                 std::string_view arguments) {
  if (arguments.find_first_not_of(' ') == std::string_view::npos) {
    Usage(lobby, moderator, command, "引数が足りません");
    return;
  }
  Record(lobby, moderator, ModerationAction::kAnnounce, {}, std::string(arguments));
  lobby.ToJoined(ChatLine("S_CHAT", kServerSpeaker, arguments));
}

void Motd(LobbyContext& lobby, User& moderator, const ModCommand&, std::string_view arguments) {
  const size_t start = arguments.find_first_not_of(' ');
  const std::string text(start == std::string_view::npos ? std::string_view() : arguments.substr(start));
  lobby.book.motd = text;
  Remember(lobby, {OwnAction::Kind::kMotd, lobby.Now(), {}, {}, text});
  Write(lobby, "the motd",
        [text](AccountStore& store, std::string& error) { return store.SetMotd(text, error); });
  Record(lobby, moderator, ModerationAction::kMotd, {}, text);
  Tell(lobby, moderator.id,
       text.empty() ? sjis::Text("接続時のお知らせを消しました")
                    : sjis::Text("接続時のお知らせを設定しました"));
}

constexpr ModCommand kCommands[] = {
    {"help", Help, "/help", "コマンドの一覧"},
    {"who", Who, "/who 名前", "利用者の番号・ログイン・アドレス・接続時刻・パーティ"},
    {"kick", Kick, "/kick 名前 [理由]", "利用者を退出させます"},
    {"mute", MuteUser, "/mute 名前 分 [理由]", "利用者のチャットを止めます"},
    {"ban", BanUser, "/ban 名前|アドレス 分 [理由]", "ログインとアドレスを締め出します（0分で永久）"},
    {"unban", Unban, "/unban ログイン|アドレス", "締め出しを解除します"},
    {"bans", Bans, "/bans", "有効な締め出しを新しい順に"},
    {"announce", AnnounceAll, "/announce 文", "全員にお知らせします"},
    {"motd", Motd, "/motd [文]", "接続時のお知らせを設定します（文なしで消去）"},
};

void Help(LobbyContext& lobby, User& moderator, const ModCommand&, std::string_view) {
  for (const ModCommand& command : kCommands) {
    Tell(lobby, moderator.id, sjis::Text(command.form) + sjis::Text("：") + sjis::Text(command.help));
  }
  Tell(lobby, moderator.id, sjis::Text("名前は表示名か#番号です"));
}

bool Matches(const std::string& key, const std::optional<std::string>& login) {
  return !key.empty() && login && LoginKey(*login) == LoginKey(key);
}

}  // namespace

void ModeratorCommand(LobbyContext& lobby, User& moderator, std::string_view line) {
  const auto [word, arguments] = Word(line.substr(1));
  for (const ModCommand& command : kCommands) {
    if (command.name == word) {
      command.handler(lobby, moderator, command, arguments);
      return;
    }
  }
  Tell(lobby, moderator.id,
       sjis::Text("そのコマンドはありません：/") + Clip(word) + sjis::Text("．/helpで一覧を表示します"));
}

const Ban* LobbyContext::BanOf(const User& user) const {
  const int64_t now = Now();
  for (const Ban& ban : book.bans) {
    if (!InForce(ban.until, now)) continue;
    if (Matches(ban.login, user.login)) return &ban;
    // A moderator logged in stays (and so may lift it); before its login
    // nobody is known to be one, and the host has --unban.
    if (!ban.address.empty() && ban.address == user.address && !user.moderator) return &ban;
  }
  return nullptr;
}

const Ban* LobbyContext::LoginBan(std::string_view login) const {
  const int64_t now = Now();
  const std::optional<std::string> key{std::string(login)};
  for (const Ban& ban : book.bans) {
    if (InForce(ban.until, now) && Matches(ban.login, key)) return &ban;
  }
  return nullptr;
}

const Mute* LobbyContext::MuteOf(const User& user) const {
  if (user.moderator) return nullptr;
  const int64_t now = Now();
  for (const Mute& mute : book.mutes) {
    if (!InForce(mute.until, now)) continue;
    // A guest's mute holds for its address, whether it logs in later or not.
    if (Matches(mute.login, user.login) || (!mute.address.empty() && mute.address == user.address))
      return &mute;
  }
  return nullptr;
}

bool LobbyContext::Muted(User& user, std::string_view kind) {
  const Mute* mute = MuteOf(user);
  if (mute == nullptr) return false;
  if (user.muteTold != mute->madeAt) {
    user.muteTold = mute->madeAt;
    Tell(*this, user.id,
         Until(mute->until) + sjis::Text("チャットを禁止されています") + Reason(mute->reason));
  }
  Refuse(user, kind, "muted until " + LocalTime(mute->until));
  return true;
}

std::string LobbyContext::BanLine(const Ban& ban) const {
  return Until(ban.until) + sjis::Text("接続を禁止されています") + Reason(ban.reason);
}

void LobbyContext::SendAwayBanned() {
  std::vector<std::pair<int32_t, std::string>> banned;
  for (const auto& [id, user] : users) {
    if (user.cut) continue;
    if (const Ban* ban = BanOf(user)) banned.emplace_back(id, BanLine(*ban));
  }
  for (const auto& [id, line] : banned) {
    const auto found = users.find(id);
    if (found != users.end()) SendAway(found->second, line, "banned");
  }
}

void LobbyContext::ModerationRead(ModerationState state, int64_t began) {
  // What was done here before the read began, the read holds (or another
  // server undid since); what came later is laid over it again.
  std::erase_if(ownActions, [&](const OwnAction& action) { return action.at < began; });
  // Only a ban the book did not hold can send anybody away (newcomers are
  // checked as they join): a read that brings the same bans again, as
  // nearly every read does, costs no look at every user.
  std::set<int64_t> held;
  for (const Ban& ban : book.bans) {
    if (ban.id != 0) held.insert(ban.id);
  }
  book = std::move(state);
  const bool fresh = std::any_of(book.bans.begin(), book.bans.end(),
                                 [&](const Ban& ban) { return held.count(ban.id) == 0; });
  for (const OwnAction& action : ownActions) {
    switch (action.kind) {
      case OwnAction::Kind::kBan:
        if (std::none_of(book.bans.begin(), book.bans.end(), [&](const Ban& ban) {
              return ban.madeAt == action.ban.madeAt && ban.login == action.ban.login &&
                     ban.address == action.ban.address && ban.moderator == action.ban.moderator;
            }))
          book.bans.insert(book.bans.begin(), action.ban);
        break;
      case OwnAction::Kind::kMute:
        if (std::none_of(book.mutes.begin(), book.mutes.end(), [&](const Mute& mute) {
              return mute.madeAt == action.mute.madeAt && mute.login == action.mute.login &&
                     mute.address == action.mute.address && mute.moderator == action.mute.moderator;
            }))
          book.mutes.insert(book.mutes.begin(), action.mute);
        break;
      case OwnAction::Kind::kLift:
        std::erase_if(book.bans,
                      [&](const Ban& ban) { return ban.login == action.text || ban.address == action.text; });
        break;
      case OwnAction::Kind::kMotd:
        book.motd = action.text;
        break;
    }
  }
  if (fresh) SendAwayBanned();
}

}  // namespace gorvane::server
