// SPDX-License-Identifier: GPL-3.0-or-later
// A public server on real sockets: a moderator's action on one server holds
// on another on the same PostgreSQL within seconds, self-registration as a
// player meets it, and the audit as the host prints it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>

#include "server/store/accounts.h"
#include "spine/codec.h"
#include "spine/sjis.h"
#include "support/server/loopback.h"
#include "support/server/pg_cluster.h"
#include "support/server/tls_client.h"

namespace gorvane::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// A folder of the test's own, gone with it.
struct Folder {
  explicit Folder(const std::string& name)
      : path(fs::temp_directory_path() / ("gorvane-public-" + std::to_string(::getpid()) + "-" + name)) {
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~Folder() { fs::remove_all(path); }
  fs::path path;
};

bool Holds(const std::deque<std::string>& inbox, std::string_view part) {
  return std::any_of(inbox.begin(), inbox.end(),
                     [&](const std::string& m) { return m.find(part) != std::string::npos; });
}

// A line from the server's own speaker holding the text.
bool Told(const std::deque<std::string>& inbox, std::string_view text) {
  return std::any_of(inbox.begin(), inbox.end(), [&](const std::string& m) {
    return m.starts_with("S_CHAT SYS> ") && m.find(text) != std::string::npos;
  });
}

bool Has(const std::deque<std::string>& inbox, std::string_view message) {
  return std::find(inbox.begin(), inbox.end(), message) != inbox.end();
}

// The answer to a G_LOGIN among what came, or empty.
std::string LoginAnswer(const std::deque<std::string>& inbox) {
  for (const std::string& m : inbox) {
    if (m == "S_LOGIN" || m.starts_with("S_ELOGIN")) return m;
  }
  return {};
}

// Turns both servers and reads the clients until done holds or the time is
// up; whether it held.
bool RunBoth(Harness& a, Harness& b, const std::vector<RawClient*>& clients,
             const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    a.server().RunOnce(0);
    b.server().RunOnce(1);
    for (RawClient* client : clients) client->Poll();
  }
  return true;
}

// Two servers A and B on one database, a moderator logged in on A; each row
// an action typed on A and what must then hold at B, tried again until it
// does. The read of the store runs every second, so 5 s is ample.
TEST(SharedPostgres, AModeratorsActionOnOneServerHoldsOnAnotherWithinFiveSeconds) {
  PgCluster cluster;
  ASSERT_TRUE(cluster.failure().empty()) << cluster.failure();
  const std::string uri = cluster.Uri("public" + std::to_string(::getpid()));
  {
    std::string error;
    auto store = server::AccountStore::Open(uri, error);
    ASSERT_TRUE(store) << error;
    for (const char* login : {"mod", "carol", "dave"})
      ASSERT_TRUE(store->SetPassword(login, "pw-secret", error));
    ASSERT_TRUE(store->SetModerator("mod", true, error)) << error;
  }
  Harness a("127.0.0.231", uri, Generous);
  Harness b("127.0.0.232", uri, Generous);
  const auto logIn = [&](Harness& h, RawClient& client, const std::string& login) {
    client.Command("G_LOGIN", login + " pw-secret");
    h.RunUntil({&client}, [&] { return !LoginAnswer(client.inbox).empty(); });
    const std::string answer = LoginAnswer(client.inbox);
    client.inbox.clear();
    return answer;
  };
  auto moderator = a.Connect("Mod");
  auto carolA = a.Connect("Carol");
  auto daveA = a.Connect("Dave");
  auto carolB = b.Connect("Carol");
  auto daveB = b.Connect("Dave");
  auto eveB = b.Connect("Eve");
  ASSERT_TRUE(moderator && carolA && daveA && carolB && daveB && eveB);
  ASSERT_EQ(logIn(a, *moderator, "mod"), "S_LOGIN");
  ASSERT_EQ(logIn(a, *carolA, "carol"), "S_LOGIN");
  ASSERT_EQ(logIn(a, *daveA, "dave"), "S_LOGIN");
  ASSERT_EQ(logIn(b, *carolB, "carol"), "S_LOGIN");
  ASSERT_EQ(logIn(b, *daveB, "dave"), "S_LOGIN");
  const std::vector<RawClient*> resident = {moderator.get(), carolA.get(), daveA.get(),
                                            carolB.get(),    daveB.get(),  eveB.get()};

  // A newcomer at B from source, its welcome read; joined under name and,
  // with a login, its answer awaited.
  int sources = 0;
  const auto newcomer = [&](std::string source, const std::string& name, const std::string& login) {
    auto client = std::make_unique<RawClient>();
    if (source.empty()) source = "127.88.0." + std::to_string(++sources);
    if (!client->Connect("127.0.0.232", b.server().port(), source)) return client;
    std::vector<RawClient*> all = resident;
    all.push_back(client.get());
    RunBoth(
        a, b, all, [&] { return client->closed || !client->inbox.empty(); }, 2s);
    if (!name.empty()) {
      client->Command("G_JOIN", name);
      RunBoth(
          a, b, all, [&] { return client->closed || Holds(client->inbox, "S_GREETING,"); }, 2s);
    }
    if (!login.empty()) {
      client->Command("G_LOGIN", login + " pw-secret");
      RunBoth(
          a, b, all, [&] { return client->closed || !LoginAnswer(client->inbox).empty(); }, 2s);
    }
    return client;
  };
  const std::string banned = sjis::Text("接続を禁止されています");
  int probes = 0;

  const struct {
    const char* what;
    std::string command;  // typed by the moderator on A
    std::function<bool()> holdsAtB;
  } rows[] = {
      {"a ban of a login sends it away and refuses it", "/ban Carol 0 cheating",
       [&] {
         if (!carolB->closed) return false;
         EXPECT_TRUE(Told(carolB->inbox, banned));
         EXPECT_TRUE(Has(carolB->inbox, "S_BYE"));
         const auto again = newcomer({}, "Carol", "carol");
         return LoginAnswer(again->inbox) == "S_ELOGIN,15" && Told(again->inbox, banned);
       }},
      {"a ban of an address turns away its join", "/ban 127.77.0.9 30 flooding",
       [&] {
         const auto victim = newcomer("127.77.0.9", "Victim", {});
         return victim->closed && Told(victim->inbox, banned) && Has(victim->inbox, "S_BYE");
       }},
      {"an unban lets the login in again", "/unban carol",
       [&] { return LoginAnswer(newcomer({}, "Carol", "carol")->inbox) == "S_LOGIN"; }},
      {"a mute keeps the login's chat from the others", "/mute Dave 10 noise",
       [&] {
         const std::string probe = "probe" + std::to_string(++probes);
         daveB->inbox.clear();
         eveB->inbox.clear();
         daveB->Command("G_CHAT", probe);
         const std::string told = sjis::Text("チャットを禁止されています");
         RunBoth(
             a, b, resident, [&] { return Holds(eveB->inbox, probe) || Holds(daveB->inbox, told); }, 1s);
         if (!Holds(daveB->inbox, told)) return false;
         // Long enough for a relay that would come.
         RunBoth(
             a, b, resident, [] { return false; }, 100ms);
         EXPECT_FALSE(Holds(eveB->inbox, probe));
         return true;
       }},
      {"the message of the day greets a newcomer", "/motd maintenance at 21:00",
       [&] {
         const auto client = newcomer({}, {}, {});
         return !client->inbox.empty() && client->inbox.front().starts_with("S_CONNECT,") &&
                client->inbox.front().find(sjis::Text("お知らせ：") + "maintenance at 21:00") !=
                    std::string::npos;
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const auto start = Clock::now();
    moderator->Command("G_CHAT", row.command);
    bool held = false;
    while (!held && Clock::now() - start < 6s) {
      RunBoth(
          a, b, resident, [] { return false; }, 100ms);
      held = row.holdsAtB();
    }
    const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    RecordProperty(row.what, static_cast<int>(delay.count()));
    std::cout << row.what << ": " << delay.count() << " ms\n";
    EXPECT_TRUE(held);
    EXPECT_LT(delay, 5s);
  }
}

// Self-registration as a player meets it: who is created, who is refused,
// and what the welcome says. Rows in order, each server afresh when the
// way it runs changes.
TEST(PublicServer, SelfRegistrationCreatesOnlyWhatItMay) {
  Folder folder("register");
  enum class Way { kOpen, kOpenTls, kClosed };
  const std::string open = sjis::Text("8文字以上のパスワードを設定して接続すると登録されます");
  const std::string closed = sjis::Text("ログイン名はサーバの管理者が発行します");
  const struct {
    const char* what;
    Way way;
    std::string source;
    bool overTls;
    std::string login;
    std::string password;
    std::string answer;
    bool exists;  // in the store afterwards
  } rows[] = {
      {"an 8-byte password creates the login", Way::kOpen, "127.61.0.1", false, "newbie", "pass1234",
       "S_LOGIN", true},
      {"it logs in again from a new connection", Way::kOpen, "127.61.0.2", false, "newbie", "pass1234",
       "S_LOGIN", true},
      {"another password does not take it over", Way::kOpen, "127.61.0.3", false, "newbie", "other-pass",
       "S_ELOGIN,15", true},
      {"a 7-byte password is refused", Way::kOpen, "127.61.0.4", false, "shorty", "pass123", "S_ELOGIN,14",
       false},
      {"a login breaking the name rule is refused", Way::kOpen, "127.61.0.5", false, "mr>x", "pass1234",
       "S_ELOGIN,14", false},
      {"first of a day from one address", Way::kOpen, "127.61.0.9", false, "day1", "pass1234", "S_LOGIN",
       true},
      {"second", Way::kOpen, "127.61.0.9", false, "day2", "pass1234", "S_LOGIN", true},
      {"third", Way::kOpen, "127.61.0.9", false, "day3", "pass1234", "S_LOGIN", true},
      {"the fourth from that address is refused", Way::kOpen, "127.61.0.9", false, "day4", "pass1234",
       "S_ELOGIN,14", false},
      {"with TLS on, not over plain text", Way::kOpenTls, "127.61.0.11", false, "plainly", "pass1234",
       "S_ELOGIN,14", false},
      {"the same over TLS", Way::kOpenTls, "127.61.0.12", true, "plainly", "pass1234", "S_LOGIN", true},
      {"closed: an unknown login is refused", Way::kClosed, "127.61.0.13", false, "stranger", "pass1234",
       "S_ELOGIN,14", false},
  };
  std::unique_ptr<Harness> harness;
  std::optional<Way> running;
  std::string database;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    if (running != row.way) {
      harness.reset();
      running = row.way;
      database = (folder.path / ("accounts" + std::to_string(static_cast<int>(row.way)) + ".db")).string();
      harness = std::make_unique<Harness>("127.0.0.233", database, [&](server::ServerOptions& options) {
        Generous(options);
        options.registrationOpen = row.way != Way::kClosed;
        options.tlsSelfSigned = row.way == Way::kOpenTls;
        options.plainLogins = true;
      });
    }
    const uint16_t port = harness->server().port();
    std::deque<std::string> inbox;
    int32_t id = 0;
    std::unique_ptr<RawClient> plain;
    std::unique_ptr<TlsClient> tls;
    if (row.overTls) {
      tls = std::make_unique<TlsClient>();
      ASSERT_TRUE(tls->Connect("127.0.0.233", port, row.source));
      harness->RunUntil({}, [&] { return tls->Step(), tls->id != 0; });
      tls->Command("G_JOIN", "Player");
      // A join may wait its turn; a login before the greeting is refused.
      harness->RunUntil({}, [&] { return tls->Step(), Holds(tls->inbox, "S_GREETING,"); });
      tls->Command("G_LOGIN", row.login + " " + row.password);
      harness->RunUntil({}, [&] { return tls->Step(), !LoginAnswer(tls->inbox).empty(); });
      inbox = tls->inbox;
      id = tls->id;
    } else {
      plain = std::make_unique<RawClient>();
      ASSERT_TRUE(plain->Connect("127.0.0.233", port, row.source));
      harness->RunUntil({plain.get()}, [&] { return plain->id != 0; });
      plain->Command("G_JOIN", "Player");
      harness->RunUntil({plain.get()}, [&] { return Holds(plain->inbox, "S_GREETING,"); });
      plain->Command("G_LOGIN", row.login + " " + row.password);
      harness->RunUntil({plain.get()}, [&] { return !LoginAnswer(plain->inbox).empty(); });
      inbox = plain->inbox;
      id = plain->id;
    }
    ASSERT_FALSE(inbox.empty());
    EXPECT_TRUE(inbox.front().starts_with("S_CONNECT,"));
    EXPECT_NE(inbox.front().find(row.way == Way::kClosed ? closed : open), std::string::npos);
    EXPECT_EQ(LoginAnswer(inbox), row.answer);
    if (row.answer == "S_LOGIN") {
      // Another user sees the login, not a guest.
      auto watcher = harness->Connect("Watcher");
      ASSERT_TRUE(watcher);
      watcher->Command("G_INFO", std::to_string(id));
      harness->RunUntil({watcher.get()}, [&] { return Holds(watcher->inbox, "S_INFO,"); });
      ASSERT_TRUE(Holds(watcher->inbox, "S_INFO,"));
      const Fields info = SplitCommaText(watcher->inbox.back());
      ASSERT_GE(info.size(), 4u);
      EXPECT_EQ(info[3], row.login);
    }
    std::string error;
    auto store = server::AccountStore::Open(database, error);
    ASSERT_TRUE(store) << error;
    bool failed = true;
    EXPECT_EQ(store->Find(row.login, failed).has_value(), row.exists);
    EXPECT_FALSE(failed);
  }
}

}  // namespace
}  // namespace gorvane::testing
