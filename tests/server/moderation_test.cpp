// SPDX-License-Identifier: GPL-3.0-or-later
// Moderators' commands through a real lobby: what the target, the others
// and the moderator receive, what holds on the wall clock, what a read of
// the store changes, the welcome with its motd, and when a login may be
// registered.
#include <gtest/gtest.h>

#include "server/lobby/names.h"
#include "spine/codec.h"
#include "spine/sjis.h"
#include "support/server/clocked_lobby.h"

namespace gorvane::testing {
namespace {

using server::LoginOutcome;

// Lines to the user holding the text (UTF-8, looked for in code page 932).
size_t Holding(ClockedLobby& l, int32_t user, std::string_view utf8) {
  const std::string text = sjis::Text(utf8);
  return static_cast<size_t>(
      std::count_if(l.outbox.to[user].begin(), l.outbox.to[user].end(),
                    [&](const std::string& m) { return m.find(text) != std::string::npos; }));
}

bool Closed(const ClockedLobby& l, int32_t user) {
  return std::find(l.outbox.closed.begin(), l.outbox.closed.end(), user) != l.outbox.closed.end();
}

// A lobby of A (1, the moderator "mod"), B (2, a guest) and C (3, logged in
// as "carol"), each from 192.0.2.<id>; what they were sent so far cleared.
struct Moderated : ClockedLobby {
  Moderated() : ClockedLobby(64, 10s, 3) {
    Do(1, "G_LOGIN", "mod secret", start);
    lobby->LoginAnswered(1, "mod", {LoginOutcome::kOk, true, false});
    Do(3, "G_LOGIN", "carol secret", start);
    lobby->LoginAnswered(3, "carol", {LoginOutcome::kOk, false, false});
    outbox.to.clear();
    checksBefore = outbox.checked.size();
  }
  void Say(int32_t id, std::string_view text) { Do(id, "G_CHAT", text, start); }
  int Counted(std::string_view action) const {
    const std::string text = metrics.Exposition();
    const std::string key = "action=\"" + std::string(action) + "\"} ";
    const size_t at = text.find(key);
    return at == std::string::npos ? -1 : std::stoi(text.substr(at + key.size()));
  }
  size_t checksBefore = 0;
};

struct Step {
  int32_t from;
  std::string kind;  // "CONNECT": user from connects from 192.0.2.<from>
  std::string argument;
};

struct Holds {
  int32_t user;
  std::string text;  // UTF-8
  size_t lines;      // how many lines to the user hold it
};

TEST(Moderation, CommandsActOnTheirTargetAndAnswerTheModerator) {
  const struct {
    const char* what;
    std::vector<Step> steps;
    std::vector<Holds> holds;
    std::vector<int32_t> closed;
    const char* counted;  // the action /metrics counts once, if any
  } rows[] = {
      {"a guest's slash line is chat",
       {{2, "G_CHAT", "/kick A"}},
       {{3, "S_CHAT B> /kick A", 1}, {1, "S_CHAT B> /kick A", 1}},
       {},
       nullptr},
      {"a moderator's slash line is never relayed",
       {{1, "G_CHAT", "/help"}},
       {{2, "S_CHAT A>", 0}, {1, "S_CHAT SYS> /mute 名前 分 [理由]：", 1}},
       {},
       nullptr},
      {"a moderator's unknown command is answered, not relayed",
       {{1, "G_CHAT", "/frob x"}},
       {{2, "/frob", 0}, {1, "そのコマンドはありません：/frob", 1}},
       {},
       nullptr},
      {"who tells id, guest, address, since, party",
       {{2, "P_CREATE", ""}, {1, "G_CHAT", "/who b"}},
       {{1, "SYS> #2 B ゲスト アドレス：192.0.2.2 接続：2026-12-10", 1}, {1, "パーティ：1 ゲーム外", 1}},
       {},
       nullptr},
      {"who by id of a logged-in user",
       {{1, "G_CHAT", "/who #3"}},
       {{1, "#3 C ログイン：carol アドレス：192.0.2.3", 1}},
       {},
       nullptr},
      {"kick tells the reason, says goodbye and the others see the departure",
       {{1, "G_CHAT", "/kick B spam"}},
       {{2, "S_CHAT SYS> モデレータにより退出させられました（理由：spam）", 1},
        {2, "S_BYE", 1},
        {3, "S_QUIT,2", 1},
        {1, "#2 Bを退出させました", 1}},
       {2},
       "kick"},
      {"a command against a moderator is refused",
       {{1, "G_CHAT", "/kick A"}, {1, "G_CHAT", "/ban #1 0"}, {1, "G_CHAT", "/mute A 5"}},
       {{1, "モデレータには使えません：A", 3}, {1, "S_BYE", 0}},
       {},
       nullptr},
      {"an unknown name is answered with the form",
       {{1, "G_CHAT", "/kick Nobody"}},
       {{1, "その利用者はいません：Nobody．書式：/kick 名前 [理由]", 1}},
       {},
       nullptr},
      {"missing arguments are answered with the form",
       {{1, "G_CHAT", "/ban"}},
       {{1, "引数が足りません．書式：/ban 名前|アドレス 分 [理由]", 1}},
       {},
       nullptr},
      {"mute tells the target once and drops its lines",
       {{1, "G_CHAT", "/mute C 5 noise"}, {3, "G_CHAT", "hello"}, {3, "P_CREATE", ""}, {3, "P_CHAT", "psst"}},
       {{3, "2026-12-10", 1},
        {3, "チャットを禁止されました（理由：noise）", 1},
        {3, "禁止されています", 0},
        {2, "C> hello", 0},
        {3, "C> psst", 0},
        {1, "#3 Cのチャットを", 1}},
       {},
       "mute"},
      {"a guest is muted by its address",
       {{1, "G_CHAT", "/mute B 5"}, {2, "G_CHAT", "hi"}, {2, "G_CHAT", "hi"}},
       {{3, "B> hi", 0}, {2, "チャットを禁止されました", 1}, {2, "禁止されています", 0}},
       {},
       "mute"},
      {"bad minutes are refused",
       {{1, "G_CHAT", "/mute B x"}, {1, "G_CHAT", "/mute B 0"}, {1, "G_CHAT", "/ban B -1"}},
       {{1, "分数は1以上の整数です", 2}, {1, "分数は0（永久）以上の整数です", 1}, {2, "S_BYE", 0}},
       {},
       nullptr},
      {"ban by name sends the user away for good and lists login and address",
       {{1, "G_CHAT", "/ban C 0 cheat"}, {1, "G_CHAT", "/bans"}},
       {{3, "S_CHAT SYS> 永久に接続を禁止されています（理由：cheat）", 1},
        {3, "S_BYE", 1},
        {2, "S_QUIT,3", 1},
        {1, "#3 Cを永久に締め出しました（切断：1人）", 1},
        {1, "SYS> #1 carol 192.0.2.3 永久 mod cheat", 1}},
       {3},
       "ban"},
      {"an address ban spares a logged-in moderator there",
       {{1, "G_CHAT", "/ban 192.0.2.1 10"}},
       {{1, "192.0.2.1を2026-12-10", 1}, {1, "（切断：0人）", 1}, {1, "S_BYE", 0}},
       {},
       "ban"},
      {"a banned address's G_JOIN is told until when, then goodbye",
       {{1, "G_CHAT", "/ban 192.0.2.4 10 flood"}, {4, "CONNECT", ""}, {4, "G_JOIN", "D"}},
       {{4, "まで接続を禁止されています（理由：flood）", 1}, {4, "S_BYE", 1}, {2, "S_GREETING,4", 0}},
       {4},
       "ban"},
      {"an IPv6 address is banned as its /64",
       {{1, "G_CHAT", "/ban 2001:db8:1:2:3::9 10"}, {1, "G_CHAT", "/bans"}},
       {{1, "#1 2001:db8:1:2::/64 2026-12-10", 1}},
       {},
       "ban"},
      {"a banned login is refused before its password is checked",
       {{1, "G_CHAT", "/ban C 0"}, {4, "CONNECT", ""}, {4, "G_JOIN", "D"}, {4, "G_LOGIN", "carol secret"}},
       {{4, "永久に接続を禁止されています", 1}, {4, "S_ELOGIN,15", 1}},
       {3},
       "ban"},
      {"unban lifts by login and the list empties",
       {{1, "G_CHAT", "/ban C 0"}, {1, "G_CHAT", "/unban carol"}, {1, "G_CHAT", "/bans"}},
       {{1, "carolの締め出しを解除しました（1件）", 1}, {1, "有効な締め出しはありません", 1}},
       {3},
       "unban"},
      {"unban of what is not banned says so",
       {{1, "G_CHAT", "/unban 192.0.2.9"}},
       {{1, "その締め出しはありません：192.0.2.9", 1}},
       {},
       nullptr},
      {"announce goes to every joined user from SYS",
       {{1, "G_CHAT", "/announce restart at noon"}},
       {{2, "S_CHAT SYS> restart at noon", 1}, {3, "S_CHAT SYS> restart at noon", 1}},
       {},
       "announce"},
  };
  for (const auto& row : rows) {
    Moderated l;
    for (const Step& step : row.steps) {
      if (step.kind == "CONNECT") {
        l.lobby->Connect(step.from, ClockedLobby::At(step.from));
      } else {
        l.Do(step.from, step.kind, step.argument, l.start);
      }
    }
    for (const Holds& holds : row.holds) {
      EXPECT_EQ(Holding(l, holds.user, holds.text), holds.lines)
          << row.what << ": to user " << holds.user << " '" << holds.text << "'";
    }
    for (const int32_t user : {1, 2, 3, 4}) {
      const bool closed = std::find(row.closed.begin(), row.closed.end(), user) != row.closed.end();
      EXPECT_EQ(Closed(l, user), closed) << row.what << ": user " << user;
      if (user != 4) {
        EXPECT_EQ(l.lobby->FindUser(user) == nullptr, closed) << row.what << ": user " << user;
      }
    }
    // Counted and audited, newest first; a refused command is neither.
    std::string error;
    const auto audit = l.store->Audit(10, error);
    ASSERT_TRUE(audit) << error;
    if (row.counted) {
      EXPECT_EQ(l.Counted(row.counted), 1) << row.what;
      ASSERT_FALSE(audit->empty()) << row.what;
      EXPECT_EQ(audit->front().action, row.counted) << row.what;
      EXPECT_EQ(audit->front().moderator, "mod") << row.what;
    } else {
      EXPECT_TRUE(audit->empty()) << row.what;
    }
    // The banned login's G_LOGIN never reached the password check.
    if (std::string_view(row.what).starts_with("a banned login")) {
      EXPECT_EQ(l.outbox.checked.size(), l.checksBefore);
    }
  }
}

TEST(Moderation, MutesAndBansRunOutOnTheWallClock) {
  const struct {
    const char* what;
    const char* command;
    int64_t later;  // seconds after the command
    bool held;
  } rows[] = {
      {"a mute just before its end", "/mute B 1", 59, true},
      {"a mute just after its end", "/mute B 1", 61, false},
      {"a ban just before its end", "/ban B 1", 59, true},
      {"a ban just after its end", "/ban B 1", 61, false},
      {"a ban for good", "/ban B 0", 10 * 365 * 86400, true},
  };
  for (const auto& row : rows) {
    Moderated l;
    l.Say(1, row.command);
    l.wall += row.later;
    if (std::string_view(row.command).starts_with("/mute")) {
      l.Say(2, "again");
      EXPECT_EQ(Holding(l, 3, "B> again"), row.held ? 0U : 1U) << row.what;
    } else {
      l.lobby->Connect(2, ClockedLobby::At(2));
      l.Do(2, "G_JOIN", "B", l.start);
      EXPECT_EQ(Holding(l, 3, "S_GREETING,2"), row.held ? 0U : 1U) << row.what;
    }
  }
}

TEST(Moderation, ReadOfTheStoreReplacesTheBookButKeepsNewerOwnActions) {
  const int64_t now = 1796904000;
  const struct {
    const char* what;
    server::ModerationState state;
    int64_t began;                // when the read began
    std::vector<int32_t> closed;  // sent away by the read
    const char* listed;           // what /bans shows afterwards (UTF-8)
  } rows[] = {
      {"a ban on a connected login",
       {{{7, "carol", "", now - 5, 0, "other", "x"}}, {}, ""},
       now,
       {3},
       "#7 carol"},
      {"a ban on a guest's address",
       {{{8, "", "192.0.2.2", now - 5, now + 60, "other", ""}}, {}, ""},
       now,
       {2},
       "#8 192.0.2.2"},
      {"a ban that ran out",
       {{{9, "carol", "", now - 120, now - 60, "other", ""}}, {}, ""},
       now + 1,
       {},
       "ありません"},
      {"an own ban newer than the read began", {}, now, {}, "#- 192.0.2.9"},
      {"an own ban older than the read began", {}, now + 1, {}, "ありません"},
  };
  for (const auto& row : rows) {
    Moderated l;
    l.Say(1, "/ban 192.0.2.9 10");
    l.lobby->ModerationRead(row.state, row.began);
    l.Say(1, "/bans");
    for (const int32_t user : {2, 3}) {
      const bool closed = std::find(row.closed.begin(), row.closed.end(), user) != row.closed.end();
      EXPECT_EQ(Closed(l, user), closed) << row.what << ": user " << user;
      if (closed) {
        EXPECT_EQ(Holding(l, user, "S_BYE"), 1U) << row.what;
      }
    }
    EXPECT_EQ(Holding(l, 1, row.listed), 1U) << row.what;
  }
}

TEST(Moderation, WelcomeStaysOneFieldWithTheMotd) {
  const struct {
    const char* what;
    std::vector<std::string> motdLines;  // the moderator's, in order
    const char* motdFromStore;           // read afterwards, if not null
    std::string endsWith;                // UTF-8
  } rows[] = {
      {"a motd with commas, quotes and blanks",
       {"/motd a,\"b\" c,"},
       nullptr,
       "発行します．お知らせ：a,\"b\" c,"},
      {"a motd cleared", {"/motd x,y", "/motd"}, nullptr, "発行します．"},
      {"a motd from the store", {}, "up,\"now\"", "お知らせ：up,\"now\""},
  };
  for (const auto& row : rows) {
    Moderated l;
    for (const std::string& line : row.motdLines) l.Say(1, line);
    if (row.motdFromStore) l.lobby->ModerationRead({{}, {}, row.motdFromStore}, l.wall + 1);
    l.lobby->Connect(9, ClockedLobby::At(9));
    ASSERT_FALSE(l.outbox.to[9].empty()) << row.what;
    const Fields fields = SplitCommaText(l.outbox.to[9].front());
    ASSERT_EQ(fields.size(), 3U) << row.what << ": " << l.outbox.to[9].front();
    EXPECT_EQ(fields[0], "S_CONNECT") << row.what;
    EXPECT_EQ(fields[1], "9") << row.what;
    EXPECT_TRUE(fields[2].ends_with(sjis::Text(row.endsWith))) << row.what << ": " << sjis::ToUtf8(fields[2]);
  }
}

// However many bans hold, /bans answers with a bounded number of lines.
TEST(Moderation, TheListOfBansIsBounded) {
  struct Row {
    int bans;
    size_t listed;  // ban lines
    size_t more;    // the line that counts the rest
  };
  const Row rows[] = {{50, 50, 0}, {51, 50, 1}, {400, 50, 1}};
  for (const Row& row : rows) {
    Moderated l;
    server::ModerationState state;
    for (int i = 0; i < row.bans; ++i) {
      server::Ban ban;
      ban.id = i + 1;
      ban.address = "198.51.100." + std::to_string(i % 250) + (i >= 250 ? "9" : "");
      ban.madeAt = l.wall - i;
      ban.moderator = "mod";
      state.bans.push_back(ban);
    }
    l.lobby->ModerationRead(state, l.wall);
    l.outbox.to.clear();
    l.Say(1, "/bans");
    EXPECT_EQ(Holding(l, 1, " 198.51.100."), row.listed) << row.bans;
    EXPECT_EQ(Holding(l, 1, "ほか"), row.more) << row.bans;
  }
}

}  // namespace
}  // namespace gorvane::testing
