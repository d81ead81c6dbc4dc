// SPDX-License-Identifier: GPL-3.0-or-later
// The lobby and the parties over loopback sockets, as clients see them.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "spine/codec.h"
#include "spine/sjis.h"
#include "support/server/loopback.h"

namespace gorvane::testing {
namespace {

using Strings = std::vector<std::string>;

std::string Id(const RawClient& client) { return std::to_string(client.id); }

// The records of a list message, each split the way the client splits it.
std::vector<Fields> Records(const std::string& message) {
  Fields fields = SplitCommaText(message);
  std::vector<Fields> records;
  for (size_t i = 1; i < fields.size(); ++i) records.push_back(SplitDelimitedText(fields[i], ':'));
  return records;
}

TEST(Lobby, ConnectJoinChatInfoAndRename) {
  Harness harness("127.0.0.11");
  RawClient a;
  ASSERT_TRUE(a.Connect("127.0.0.11", harness.server().port()));
  harness.Settle({&a});
  ASSERT_EQ(a.inbox.size(), 1u);
  const Fields connect = SplitCommaText(a.inbox.front());
  EXPECT_EQ(connect.at(0), "S_CONNECT");
  EXPECT_GT(a.id, 0);
  ASSERT_EQ(connect.size(), 3u) << "with a welcome text";
  // The greeting tells a newcomer the way to a game, in words the client can show.
  const auto welcome = sjis::ToUtf8(connect.at(2));
  for (const char* step : {"パーティ作成", "ゲーム開始"})
    EXPECT_NE(welcome.find(step), std::string::npos) << step;
  a.inbox.clear();
  a.Command("G_JOIN", "Ann Lee");
  EXPECT_EQ(harness.Received({&a})[0], Strings{"S_GREETING," + Id(a) + ",\"Ann Lee\""});

  auto b = harness.Connect();
  b->Command("G_JOIN", "Bob");
  auto got = harness.Received({&a, b.get()});
  EXPECT_EQ(got[0], Strings{"S_GREETING," + Id(*b) + ",Bob"});
  EXPECT_EQ(got[1], got[0]);

  b->Command("G_CHAT", "hi,  \"all\" ");
  got = harness.Received({&a, b.get()});
  ASSERT_EQ(got[0].size(), 1u);
  EXPECT_EQ(TextAfterFirstSpace(got[0][0]), "Bob> hi,  \"all\"");
  EXPECT_EQ(got[1], got[0]);

  b->Command("G_INFO", Id(a));
  EXPECT_EQ(harness.Received({b.get()})[0], Strings{"S_INFO," + Id(a) + ",\"Ann Lee\",guest,0,0"});
  harness.NewLog();
  b->Command("G_INFO", "9999");
  EXPECT_TRUE(harness.Received({b.get()})[0].empty());
  EXPECT_EQ(harness.NewLog().size(), 1u) << "a refused command is logged";

  const std::string kanji = sjis::Text("ボブ");
  // A name that would pass for somebody else or for the client's own lines
  // is ignored (four of them and the good one: within the renames' limit).
  for (const std::string& ignored : {std::string("Bo\"b"), std::string("ann lee"),
                                     sjis::Text("ＡＮＮ　ＬＥＥ"), std::string("SYS: admin")}) {
    b->Command("G_RENAME", ignored);
    got = harness.Received({&a, b.get()});
    EXPECT_TRUE(got[0].empty() && got[1].empty()) << ignored;
  }
  b->Command("G_RENAME", kanji);
  got = harness.Received({&a, b.get()});
  EXPECT_EQ(got[0], Strings{"S_RENAME," + Id(*b) + "," + kanji});
  EXPECT_EQ(got[1], got[0]);
}

// A join under a name that is refused is greeted with a name of the
// server's making, and the client goes by what the greeting says.
TEST(Lobby, ARefusedJoinIsGreetedWithAUniqueName) {
  Harness harness("127.0.0.14");
  auto ann = harness.Connect("Ann");
  harness.Received({ann.get()});
  const struct {
    std::string asked, greeted;
  } rows[] = {
      {"Ann", "Ann2"},         {sjis::Text("ａｎｎ"), sjis::Text("ａｎｎ3")},
      {"SYS: root", "player"}, {"", "player2"},
      {"Ann> hi", "Ann hi"},   {"Bo\"b", "Bob"},
  };
  std::vector<std::unique_ptr<RawClient>> clients;
  for (const auto& row : rows) {
    clients.push_back(harness.Connect());
    clients.back()->Command("G_JOIN", row.asked);
    const auto got = harness.Received({ann.get()});
    ASSERT_EQ(got[0].size(), 1u) << row.asked;
    EXPECT_EQ(SplitCommaText(got[0][0]).at(2), row.greeted) << row.asked;
  }
}

TEST(Lobby, ListsCarryAnyNameIntact) {
  Harness harness("127.0.0.12");
  // A double quote is no part of a name (it is refused), but what the
  // quoting is for is: blanks, commas, colons.
  const std::string names[] = {"A B", "c,d", "e:f", "g:,h i", sjis::Text("勇者 の剣,盾")};
  std::vector<std::unique_ptr<RawClient>> clients;
  for (const std::string& name : names) clients.push_back(harness.Connect(name));
  std::vector<RawClient*> all;
  for (auto& client : clients) all.push_back(client.get());
  harness.Received(all);
  clients[1]->Command("P_CREATE");
  clients[2]->Command("P_JOIN", "1");
  harness.Received(all);

  clients[0]->Command("G_LIST");
  clients[0]->Command("G_PLIST");
  clients[2]->Command("P_LIST");
  const auto got = harness.Received(all);
  ASSERT_EQ(got[0].size(), 2u);
  const std::vector<Fields> users = Records(got[0][0]);
  ASSERT_EQ(users.size(), 5u);
  for (size_t i = 0; i < users.size(); ++i) {
    const std::string party = i == 1 || i == 2 ? "1" : "0";
    EXPECT_EQ(users[i], (Fields{Id(*clients[i]), names[i], party})) << got[0][0];
  }
  EXPECT_EQ(Records(got[0][1]), (std::vector<Fields>{{"1", Id(*clients[1]), "2", "0"}}));
  ASSERT_EQ(got[2].size(), 1u);
  EXPECT_EQ(Records(got[2][0]),
            (std::vector<Fields>{{Id(*clients[1]), "1", names[1]}, {Id(*clients[2]), "0", names[2]}}));
}

TEST(Lobby, FullServerTurnsAwayAndGoodbyesAreTold) {
  Harness harness("127.0.0.13", ":memory:", [](server::ServerOptions& options) { options.maxUsers = 2; });
  auto a = harness.Connect("A");
  // Only joined users count: a connection that has not joined yet is
  // turned away when it joins a full server.
  auto late = harness.Connect();
  auto b = harness.Connect("B");
  late->Command("G_JOIN", "Late");
  EXPECT_TRUE(harness.RunUntil({late.get()}, [&] { return late->closed; }));
  EXPECT_EQ(Drain(*late), Strings{"S_EXCEED"});
  RawClient c;
  ASSERT_TRUE(c.Connect("127.0.0.13", harness.server().port()));
  EXPECT_TRUE(harness.RunUntil({&c}, [&] { return c.closed; }));
  EXPECT_EQ(Drain(c), Strings{"S_EXCEED"});

  harness.Received({a.get(), b.get()});
  b->Command("G_BYE");
  EXPECT_TRUE(harness.RunUntil({a.get(), b.get()}, [&] { return b->closed; }));
  EXPECT_EQ(Drain(*b), Strings{"S_BYE"});
  EXPECT_EQ(harness.Received({a.get()})[0], Strings{"S_QUIT," + Id(*b)});

  // The slot is free again; a loss without goodbye is told as abnormal.
  auto d = harness.Connect("D");
  ASSERT_TRUE(d);
  harness.Received({a.get()});
  d->Close();
  EXPECT_EQ(harness.Received({a.get()})[0], Strings{"S_ABNORMAL," + Id(*d)});
}

// Newcomers past the greetings' bound wait their turn, and what each sent
// behind its G_JOIN (a list, a login, as our client sends them at once)
// waits with it: all answered once it is greeted, none refused as not
// joined.
TEST(Lobby, CommandsBehindAWaitingJoinWaitWithIt) {
  Harness harness("127.0.0.19");
  // The greetings' bound is 20 a second: the last ten wait. Only they log
  // in, fewer than the checks the login desk takes at once.
  constexpr int kNewcomers = 30;
  constexpr int kFirstLogin = 20;
  std::vector<std::unique_ptr<RawClient>> clients;
  std::vector<RawClient*> all;
  for (int i = 0; i < kNewcomers; ++i) {
    clients.push_back(harness.Connect());
    ASSERT_TRUE(clients.back());
    all.push_back(clients.back().get());
  }
  for (int i = 0; i < kNewcomers; ++i) {
    const std::string id = Id(*all[i]);
    std::string bytes = "G_JOIN " + id + " N" + std::to_string(i) + '\0' + "G_LIST " + id + " *" + '\0';
    if (i >= kFirstLogin) bytes += "G_LOGIN " + id + " ghost" + std::to_string(i) + " password" + '\0';
    all[i]->SendRaw(bytes);
  }
  const auto holds = [](const RawClient& client, std::string_view prefix) {
    return std::any_of(client.inbox.begin(), client.inbox.end(),
                       [&](const std::string& m) { return m.starts_with(prefix); });
  };
  const auto answered = [&](const RawClient& client) {
    const bool login = std::find(all.begin() + kFirstLogin, all.end(), &client) != all.end();
    return holds(client, "S_GREETING," + Id(client)) && holds(client, "S_LIST") &&
           (!login || holds(client, "S_ELOGIN,14"));
  };
  EXPECT_TRUE(harness.RunUntil(
      all, [&] { return std::all_of(all.begin(), all.end(), [&](RawClient* c) { return answered(*c); }); },
      std::chrono::seconds(10)));
  for (const RawClient* client : all) EXPECT_TRUE(answered(*client)) << Id(*client);
  for (const std::string& line : harness.NewLog()) {
    EXPECT_EQ(line.find("not joined yet"), std::string::npos) << line;
  }
}

// The lists are built once per change and shared: after every kind of
// change the next list says so.
TEST(Lobby, ListsFollowEveryChange) {
  Harness harness("127.0.0.29");
  auto a = harness.Connect("A");
  auto b = harness.Connect("B");
  std::unique_ptr<RawClient> c;
  auto lists = [&] {
    harness.Received({a.get()});
    a->Command("G_LIST");
    a->Command("G_PLIST");
    const Strings got = harness.Received({a.get()})[0];
    return got.size() == 2 ? got[0] + " " + got[1] : "no lists";
  };
  const std::string A = Id(*a), B = Id(*b);
  struct Step {
    const char* what;
    std::function<void()> act;
    std::function<std::string()> lists;
  } const steps[] = {
      {"as joined", [] {}, [&] { return "S_LIST," + A + ":A:0," + B + ":B:0 S_GLIST"; }},
      {"a rename", [&] { b->Command("G_RENAME", "Bee"); },
       [&] { return "S_LIST," + A + ":A:0," + B + ":Bee:0 S_GLIST"; }},
      {"a party", [&] { b->Command("P_CREATE"); },
       [&] { return "S_LIST," + A + ":A:0," + B + ":Bee:1 S_GLIST,1:" + B + ":1:0"; }},
      {"a member",
       [&] {
         a->Command("P_JOIN", "1");
         a->Command("P_LIST");
       },
       [&] { return "S_LIST," + A + ":A:1," + B + ":Bee:1 S_GLIST,1:" + B + ":2:0"; }},
      {"a game", [&] { b->Command("P_START"); },
       [&] { return "S_LIST," + A + ":A:1," + B + ":Bee:1 S_GLIST,1:" + B + ":2:1"; }},
      {"a leader leaving", [&] { b->Command("P_BYE"); },
       [&] { return "S_LIST," + A + ":A:1," + B + ":Bee:0 S_GLIST,1:" + A + ":1:0"; }},
      {"a newcomer", [&] { c = harness.Connect("C"); },
       [&] { return "S_LIST," + A + ":A:1," + B + ":Bee:0," + Id(*c) + ":C:0 S_GLIST,1:" + A + ":1:0"; }},
      {"a goodbye", [&] { b->Command("G_BYE"); },
       [&] { return "S_LIST," + A + ":A:1," + Id(*c) + ":C:0 S_GLIST,1:" + A + ":1:0"; }},
      {"a loss",
       [&] {
         a->Close();
         a = harness.Connect("A2");
       },
       [&] { return "S_LIST," + Id(*c) + ":C:0," + Id(*a) + ":A2:0 S_GLIST"; }},
  };
  for (const Step& step : steps) {
    step.act();
    harness.Settle({a.get(), b.get()});
    EXPECT_EQ(lists(), step.lists()) << step.what;
  }
}

// An IPv6 address to listen on, where the machine has IPv6.
TEST(Lobby, ListensOnIPv6) {
  std::vector<std::string> log;
  server::ServerOptions options;
  options.listenAddress = "::1";
  options.port = 0;
  options.databasePath = ":memory:";
  options.cardsPath = CardListPath();
  options.log = [&](std::string_view line) { log.emplace_back(line); };
  server::Server server(options);
  std::string error;
  if (!server.Start(error)) GTEST_SKIP() << "no IPv6 here: " << error;
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 to{};
  to.sin6_family = AF_INET6;
  to.sin6_port = htons(server.port());
  to.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  std::string got;
  for (int i = 0; i < 500 && got.find('\0') == std::string::npos; ++i) {
    server.RunOnce(2);
    char buffer[256];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) got.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  EXPECT_TRUE(got.starts_with("S_CONNECT,")) << got;
  // A connection that never joined is one line, when it goes.
  const auto logged = [&] {
    return std::any_of(log.begin(), log.end(), [](const std::string& line) {
      return line.find("([::1]:") != std::string::npos &&
             line.find("left without joining") != std::string::npos;
    });
  };
  for (int i = 0; i < 500 && !logged(); ++i) server.RunOnce(2);
  EXPECT_TRUE(logged());
}

TEST(Parties, CreateJoinFullLeaveHandOverAndDissolve) {
  Harness harness("127.0.0.14");
  std::vector<std::unique_ptr<RawClient>> c;
  std::vector<RawClient*> all;
  for (int i = 0; i < 8; ++i) {
    c.push_back(harness.Connect("P" + std::to_string(i)));
    all.push_back(c.back().get());
  }
  harness.Received(all);
  c[1]->Command("P_CREATE");
  auto got = harness.Received(all);
  for (const Strings& each : got) EXPECT_EQ(each, Strings{"S_CREATE," + Id(*c[1]) + ",1"});
  // c[0] joins last so that the lowest id is not the first to join.
  for (int i : {2, 3, 4, 5, 0}) {
    c[i]->Command("P_JOIN", "1");
    c[i]->Command("P_LIST");
  }
  got = harness.Received(all);
  EXPECT_EQ(got[6].size(), 5u) << "every join is told to everyone";
  c[6]->Command("P_JOIN", "1");
  EXPECT_EQ(harness.Received(all)[6], Strings{"S_PCANCEL"}) << "six is full";
  c[6]->Command("P_JOIN", "7");
  c[6]->Command("P_JOIN", "x");
  EXPECT_EQ(harness.Received(all)[6], (Strings{"S_PCANCEL", "S_PCANCEL"}));

  c[1]->Command("P_BYE");
  got = harness.Received(all);
  for (int i = 0; i < 8; ++i) {
    Strings expected{"S_PBYE," + Id(*c[1]) + ",1"};
    if (i == 0 || (i >= 2 && i <= 5)) expected.push_back("S_LEADER," + Id(*c[0]));
    EXPECT_EQ(got[static_cast<size_t>(i)], expected) << i;
  }
  c[2]->Command("P_CHAT", "go, go");
  got = harness.Received(all);
  EXPECT_EQ(got[3], Strings{"S_PCHAT P2> go, go"});
  EXPECT_TRUE(got[7].empty()) << "party chat stays in the party";

  c[2]->Command("P_START");
  EXPECT_TRUE(harness.Received(all)[2].empty()) << "only the leader starts";
  c[0]->Command("P_START");
  got = harness.Received(all);
  EXPECT_TRUE(got[0].at(0).starts_with("S_FIRSTHAND,")) << got[0][0];
  EXPECT_EQ(got[0].at(1), "S_READY");
  EXPECT_EQ(got[3].at(1), "S_OTURN," + Id(*c[0]));
  EXPECT_TRUE(got[7].empty());
  c[7]->Command("G_PLIST");
  c[6]->Command("P_JOIN", "1");
  got = harness.Received(all);
  EXPECT_EQ(Records(got[7].at(0)), (std::vector<Fields>{{"1", Id(*c[0]), "5", "1"}}));
  EXPECT_EQ(got[6], Strings{"S_PCANCEL"}) << "a playing party takes nobody";

  // A member leaving ends the game for the party, quietly for the rest.
  c[3]->Command("P_BYE");
  got = harness.Received(all);
  for (int i : {0, 2, 4, 5}) EXPECT_EQ(got[static_cast<size_t>(i)], Strings{"S_QUITGAME," + Id(*c[3])}) << i;
  for (int i : {1, 3, 6, 7})
    EXPECT_EQ(got[static_cast<size_t>(i)], Strings{"S_PBYE," + Id(*c[3]) + ",1"}) << i;
  EXPECT_FALSE(harness.lobby().FindParty(1)->game);

  // Creating while in a party leaves it first; the last to leave dissolves it.
  c[0]->Command("P_CREATE");
  for (int i : {2, 4, 5}) c[i]->Command("P_BYE");
  got = harness.Received(all);
  EXPECT_EQ(got[7].at(0), "S_PBYE," + Id(*c[0]) + ",1");
  EXPECT_EQ(got[7].at(1), "S_CREATE," + Id(*c[0]) + ",2");
  EXPECT_EQ(harness.lobby().FindParty(1), nullptr);
  c[7]->Command("G_PLIST");
  EXPECT_EQ(Records(harness.Received(all)[7].at(0)), (std::vector<Fields>{{"2", Id(*c[0]), "1", "0"}}));
}

// A joiner's window asks for the roster as it opens. A leader who starts
// the moment the joiner is in must not deal to a window without its roster:
// the joiner hears of its join, gets its roster, and only then its hand.
TEST(Parties, AJoinerGetsItsRosterBeforeItsFirstHand) {
  const struct {
    const char* what;
    bool asksFirst;  // the joiner's P_LIST is handled before the leader's P_START
  } rows[] = {{"the leader starts before the joiner asks", false}, {"the joiner asks first", true}};
  Harness harness("127.0.0.38");
  int32_t party = 0;
  for (const auto& row : rows) {
    auto a = harness.Connect("A");
    auto b = harness.Connect("B");
    const std::vector<RawClient*> both{a.get(), b.get()};
    a->Command("P_CREATE");
    a->Command("P_LIST");
    ++party;
    harness.Received(both);
    b->Command("P_JOIN", std::to_string(party));
    Strings heard = harness.Received(both)[1];
    if (row.asksFirst) b->Command("P_LIST");
    harness.Settle(both);
    a->Command("P_START");
    auto got = harness.Received(both);
    if (!row.asksFirst) {
      EXPECT_TRUE(got[0].empty()) << row.what << ": the start waits";
      b->Command("P_LIST");
      got = harness.Received(both);
    }
    heard.insert(heard.end(), got[1].begin(), got[1].end());
    Strings kinds;
    for (const std::string& message : heard) kinds.push_back(message.substr(0, message.find(',')));
    EXPECT_EQ(kinds, (Strings{"S_PJOIN", "S_PLIST", "S_FIRSTHAND", "S_OTURN"})) << row.what;
    ASSERT_FALSE(got[0].empty()) << row.what;
    EXPECT_TRUE(got[0].front().starts_with("S_FIRSTHAND,")) << row.what;
  }
}

}  // namespace
}  // namespace gorvane::testing

namespace gorvane::testing {
namespace {

// Without a whole card list there is no game to host; lines past the last
// card are only noted.
TEST(Lobby, StartsOnlyWithAReadableCardList) {
  const auto dir = std::filesystem::temp_directory_path() / ("gorvane-cards-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::ifstream shipped(CardListPath(), std::ios::binary);
  const std::string cards((std::istreambuf_iterator<char>(shipped)), std::istreambuf_iterator<char>());
  const struct {
    const char* what;
    std::string content;  // empty: no file at all
    bool starts;
  } cases[] = {
      {"no file", "", false},
      {"a bad line", "gv001 F A 0 x 0\n", false},
      {"a line too many", cards + "gv201 F Extra 0 1 0\n", true},
  };
  for (const auto& c : cases) {
    const auto path = dir / "cards.txt";
    std::filesystem::remove(path);
    if (!c.content.empty()) std::ofstream(path, std::ios::binary) << c.content;
    std::vector<std::string> log;
    server::ServerOptions options;
    options.listenAddress = "127.0.0.21";
    options.port = 0;
    options.databasePath = ":memory:";
    options.cardsPath = path.string();
    options.log = [&](std::string_view line) { log.emplace_back(line); };
    server::Server server(options);
    std::string error;
    EXPECT_EQ(server.Start(error), c.starts) << c.what << ": " << error;
    EXPECT_EQ(error.empty(), c.starts) << c.what;
    if (c.starts) {
      EXPECT_NE(log.front().find("ignored"), std::string::npos) << c.what;
    }
    // The log is read on a UTF-8 terminal or in the journal.
    for (const std::string& text : log)
      EXPECT_TRUE(sjis::FromUtf8(text).has_value()) << c.what << ": " << text;
    EXPECT_TRUE(sjis::FromUtf8(error).has_value()) << c.what << ": " << error;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace gorvane::testing
