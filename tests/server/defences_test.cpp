// SPDX-License-Identifier: GPL-3.0-or-later
// No user spoils the server for the others: each defence seen by its effect
// on a second, well-behaved user from another address.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <thread>

#include "server/base/limits.h"
#include "server/store/accounts.h"
#include "spine/codec.h"
#include "spine/sjis.h"
#include "support/server/loopback.h"

namespace gorvane::testing {
namespace {

using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

std::string Id(const RawClient& client) { return std::to_string(client.id); }

size_t CountStarting(const Strings& messages, std::string_view prefix) {
  return static_cast<size_t>(std::count_if(messages.begin(), messages.end(),
                                           [&](const std::string& m) { return m.starts_with(prefix); }));
}

size_t LogCount(const Strings& log, std::string_view part) {
  return static_cast<size_t>(std::count_if(
      log.begin(), log.end(), [&](const std::string& line) { return line.find(part) != std::string::npos; }));
}

std::string Wire(const RawClient& client, std::string_view kind, std::string_view argument) {
  return std::string(kind) + " " + Id(client) + " " + std::string(argument) + '\0';
}

TEST(Defences, ConnectionsThatNeverJoinAreBoundedAndClosed) {
  Harness harness("127.0.0.21", ":memory:", [](server::ServerOptions& options) {
    options.joinTime = 300ms;
    options.maxPerAddress = 3;
    options.maxUnjoined = 4;
  });
  const uint16_t port = harness.server().port();
  // One address holds three idle connections; a fourth is turned away.
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 4; ++i) {
    idle.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(idle.back()->Connect("127.0.0.21", port, "127.0.0.121"));
    harness.Settle({idle.back().get()});
  }
  EXPECT_EQ(Drain(*idle[3]), Strings{"S_EXCEED"});
  EXPECT_TRUE(idle[3]->closed);
  // A second address fills the unjoined bound: the oldest gives way.
  RawClient other;
  ASSERT_TRUE(other.Connect("127.0.0.21", port, "127.0.0.122"));
  harness.Settle({&other});
  RawClient newer;
  ASSERT_TRUE(newer.Connect("127.0.0.21", port, "127.0.0.122"));
  harness.Settle({&newer, idle[0].get()});
  EXPECT_TRUE(idle[0]->closed) << "the oldest unjoined connection made room";
  EXPECT_EQ(Drain(*idle[0]).back(), "S_EXCEED");

  // A newcomer from its own address still gets in (the next oldest gives
  // way) and joins.
  auto q = harness.Connect("Q", "127.0.0.123");
  ASSERT_TRUE(q);
  EXPECT_TRUE(harness.lobby().IsJoined(q->id));
  harness.Settle({idle[1].get()});
  EXPECT_TRUE(idle[1]->closed);
  // Those that never join are closed once their time is up; the newcomer
  // stays and is served.
  const std::vector<RawClient*> quiet = {idle[2].get(), &other, &newer};
  EXPECT_TRUE(harness.RunUntil({idle[2].get(), &other, &newer, q.get()}, [&] {
    return std::all_of(quiet.begin(), quiet.end(), [](RawClient* c) { return c->closed; });
  }));
  EXPECT_EQ(LogCount(harness.log(), "did not join within"), 3u);
  EXPECT_EQ(LogCount(harness.log(), "gave way to a newer connection"), 2u);
  q->Command("G_CHAT", "still here");
  EXPECT_EQ(harness.Received({q.get()})[0], Strings{"S_CHAT Q> still here"});
  EXPECT_FALSE(q->closed);

  // Every join and departure is told to everybody: an address that comes
  // and goes faster than the lobby broadcasts allow (5 per 10 s) is turned
  // away at its next join.
  size_t joined = 0;
  Strings last;
  for (int i = 0; i < 6; ++i) {
    RawClient comer;
    ASSERT_TRUE(comer.Connect("127.0.0.21", port, "127.0.0.124"));
    harness.RunUntil({&comer}, [&] { return comer.id != 0 || comer.closed; });
    if (comer.id != 0) {
      comer.Command("G_JOIN", "C");
      harness.RunUntil({&comer}, [&] { return harness.lobby().IsJoined(comer.id) || comer.closed; });
    }
    if (harness.lobby().IsJoined(comer.id)) ++joined;
    last = Drain(comer);
    comer.Close();
    harness.Settle({q.get()});
  }
  EXPECT_EQ(joined, 5u);
  EXPECT_EQ(last, Strings{"S_EXCEED"});
}

// A connection gone before it joined no longer counts among those that
// have not: the next ones are not made to give way for it.
TEST(Defences, AConnectionGoneBeforeJoiningFreesItsPlace) {
  Harness harness("127.0.0.36", ":memory:", [](server::ServerOptions& options) { options.maxUnjoined = 2; });
  auto gone = harness.Connect();
  gone->Close();
  harness.Settle({});
  auto first = harness.Connect();
  auto second = harness.Connect();
  harness.Settle({first.get(), second.get()});
  EXPECT_FALSE(first->closed);
  EXPECT_EQ(LogCount(harness.log(), "gave way"), 0u);
}

// The real loop, left to wait as long as it likes, still wakes for each
// kind of deadline when nothing else happens.
TEST(Defences, TheBlockingLoopWakesForEachDeadline) {
  struct Case {
    const char* what;
    std::function<void(server::ServerOptions&)> adjust;
    // Sets the scene while the test drives the loop; what to wait for.
    std::function<std::function<bool()>(Harness&, std::vector<std::unique_ptr<RawClient>>&)> scene;
  } const cases[] = {
      {"a connection that never joins", [](server::ServerOptions& options) { options.joinTime = 200ms; },
       [](Harness& harness, std::vector<std::unique_ptr<RawClient>>& clients) {
         clients.push_back(harness.Connect());
         return std::function<bool()>([idle = clients[0].get()] { return idle->closed; });
       }},
      {"a second turn that runs out", [](server::ServerOptions& options) { options.turnTime = 200ms; },
       [](Harness& harness, std::vector<std::unique_ptr<RawClient>>& clients) {
         clients.push_back(harness.Connect("L"));
         clients.push_back(harness.Connect("Q"));
         RawClient& l = *clients[0];
         RawClient& q = *clients[1];
         l.Command("P_CREATE");
         harness.Received({&l, &q});
         q.Command("P_JOIN", "1");
         q.Command("P_LIST");
         harness.Received({&l, &q});
         l.Command("P_START");
         harness.Received({&l, &q});
         return std::function<bool()>([&l, &q] {
           return CountStarting({l.inbox.begin(), l.inbox.end()}, "S_TURNEND," + Id(q)) > 0;
         });
       }},
  };
  for (const Case& c : cases) {
    Harness harness("127.0.0.37", ":memory:", c.adjust);
    std::vector<std::unique_ptr<RawClient>> clients;
    const std::function<bool()> done = c.scene(harness, clients);
    std::vector<RawClient*> all;
    for (auto& client : clients) all.push_back(client.get());
    std::thread loop([&] { harness.server().Run(); });
    EXPECT_TRUE(ClientsOnly(all)(done, 3s)) << c.what;
    for (RawClient* client : all) client->Close();
    harness.server().Stop();
    loop.join();
  }
}

TEST(Defences, FailedLoginsAreThrottledWithoutHoldingUpTheOthers) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("gorvane-throttle-" + std::to_string(getpid()) + ".db"))
          .string();
  std::filesystem::remove(path);
  {
    std::string error;
    const auto store = server::AccountStore::Open(path, error);
    ASSERT_TRUE(store && store->SetPassword("alice", "open sesame", error)) << error;
  }
  Harness harness("127.0.0.22", path);
  auto attacker = harness.Connect("A", "127.0.0.124");
  auto q = harness.Connect("Q", "127.0.0.125");
  harness.Received({attacker.get(), q.get()});

  // Fifty guesses in one write, and a question after them: the guesses are
  // answered in order before the question, the others are served while
  // passwords are hashed, only the first five are hashed at all and the
  // rest are answered at once.
  std::string burst;
  for (int i = 0; i < 50; ++i) burst += Wire(*attacker, "G_LOGIN", "alice guess" + std::to_string(i));
  burst += Wire(*attacker, "G_INFO", Id(*attacker));
  attacker->SendRaw(burst);
  q->Command("G_INFO", Id(*q));
  ASSERT_TRUE(harness.RunUntil({attacker.get(), q.get()}, [&] { return !q->inbox.empty(); }));
  EXPECT_LT(attacker->inbox.size(), 5u) << "the other user waited for the hashing";
  const Strings got = harness.Received({attacker.get(), q.get()})[0];
  ASSERT_EQ(got.size(), 51u);
  EXPECT_EQ(CountStarting(got, "S_ELOGIN,15"), 50u);
  EXPECT_TRUE(got.back().starts_with("S_INFO," + Id(*attacker))) << got.back();
  EXPECT_EQ(LogCount(harness.log(), "wrong password"), 5u);
  EXPECT_EQ(LogCount(harness.log(), "dropping G_LOGIN"), 1u);

  // Nothing is checked now from that address; from elsewhere, another login
  // is, and so is that one: its owner is not locked out.
  auto again = harness.Connect("A2", "127.0.0.124");
  harness.Received({q.get()});
  const struct {
    RawClient* who;
    const char* argument;
    const char* answer;
  } after[] = {{again.get(), "alice open sesame", "S_ELOGIN,15"},
               {again.get(), "carol any", "S_ELOGIN,15"},
               {q.get(), "bob any", "S_ELOGIN,14"},
               {q.get(), "alice open sesame", "S_LOGIN"}};
  for (const auto& attempt : after) {
    attempt.who->Command("G_LOGIN", attempt.argument);
    EXPECT_EQ(harness.Received({attempt.who})[0], Strings{attempt.answer}) << attempt.argument;
  }
  EXPECT_EQ(LogCount(harness.log(), "too many failed logins"), 2u);
  std::filesystem::remove(path);
}

struct Flood {
  const char* what;
  std::string kind;
  std::string argument;
  std::string relayed;  // what each one that passes makes the others hear
  size_t passes;
};

TEST(Defences, FloodsAreDroppedThenCutOffAndTheOthersHearOnlyTheLimit) {
  std::string noisy;
  while (noisy.size() < 60000) noisy += "SYS: fake\r\n\x01line ";
  const Flood floods[] = {
      {"lobby chat", "G_CHAT", "hello", "S_CHAT F> hello", 10},
      {"long lines with line breaks", "G_CHAT", noisy, "S_CHAT F> SYS: fakeline SYS: fake", 5},
      {"party creates", "P_CREATE", "*", "S_CREATE,", 5},
      {"renames", "G_RENAME", "F", "S_RENAME,", 5},
  };
  for (const Flood& flood : floods) {
    SCOPED_TRACE(flood.what);
    Harness harness("127.0.0.23");
    auto f = harness.Connect("F", "127.0.0.126");
    auto q = harness.Connect("Q", "127.0.0.127");
    harness.Received({f.get(), q.get()});
    std::string burst;
    for (int i = 0; i < 200; ++i) burst += Wire(*f, flood.kind, flood.argument);
    harness.Push(*f, burst, {q.get()});
    ASSERT_TRUE(harness.RunUntil({f.get(), q.get()}, [&] { return f->closed; }));
    const Strings heard = harness.Received({q.get()})[0];
    EXPECT_EQ(CountStarting(heard, flood.relayed), flood.passes);
    for (const std::string& message : heard) {
      EXPECT_LE(message.size(), std::string("S_CHAT F> ").size() + server::kChatTextBytes);
      EXPECT_EQ(message.find_first_of("\r\n\x01"), std::string::npos);
    }
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard.back(), "S_ABNORMAL," + Id(*f)) << "the flooder is cut off";
    EXPECT_EQ(LogCount(harness.log(), "dropping " + flood.kind), 1u) << "logged once per burst";
    EXPECT_EQ(LogCount(harness.log(), "cut off: " + flood.kind), 1u);
    q->Command("G_INFO", Id(*q));
    EXPECT_EQ(harness.Received({q.get()})[0].size(), 1u) << "the other user is still served";
    // One cut-off shuts out its connection, not the others behind its
    // address (how several cool the address: SharedAddress tests).
    RawClient back;
    ASSERT_TRUE(back.Connect("127.0.0.23", harness.server().port(), "127.0.0.126"));
    harness.Settle({&back});
    ASSERT_FALSE(back.inbox.empty());
    EXPECT_TRUE(back.inbox.front().starts_with("S_CONNECT,"));
  }
}

// Behind one address (a NAT, a provider's prefix) one user's flood of
// refused commands cuts off its own connection only; the address is turned
// away once three of its connections were cut off within the cool-off.
TEST(Defences, OneFlooderDoesNotShutOutItsSharedAddress) {
  Harness harness("127.0.0.41", ":memory:", [](server::ServerOptions& options) {
    options.broadcasts = {100, 0};
  });
  const std::string shared = "127.0.0.200";
  auto honest = harness.Connect("Honest", shared);
  auto elsewhere = harness.Connect("Elsewhere");
  harness.Received({honest.get(), elsewhere.get()});
  const struct {
    const char* what;
    bool cooled;  // a new connection from the address is turned away
  } rows[] = {{"one cut off", false}, {"two", false}, {"three within the minute", true}};
  for (const auto& row : rows) {
    auto flooder = harness.Connect("F", shared);
    std::string burst;
    for (int i = 0; i < 150; ++i) burst += Wire(*flooder, "X", "*");
    harness.Push(*flooder, burst, {honest.get(), elsewhere.get()});
    ASSERT_TRUE(harness.RunUntil({flooder.get(), honest.get(), elsewhere.get()}, [&] {
      return flooder->closed;
    })) << row.what;
    honest->Command("G_CHAT", "still here");
    const Strings heard = harness.Received({honest.get(), elsewhere.get()})[1];
    EXPECT_TRUE(std::any_of(heard.begin(), heard.end(),
                            [](const std::string& m) { return m.ends_with("Honest> still here"); }))
        << row.what << ": the user behind the same address plays on";
    RawClient fresh;
    ASSERT_TRUE(fresh.Connect("127.0.0.41", harness.server().port(), shared));
    harness.Settle({&fresh});
    ASSERT_FALSE(fresh.inbox.empty()) << row.what;
    EXPECT_EQ(fresh.inbox.front() == "S_EXCEED", row.cooled) << row.what;
  }
}

TEST(Defences, TextIsCleanedAndCutOnACharacterBoundary) {
  const std::string a = sjis::Text("あ");  // two bytes
  struct Case {
    const char* what;
    std::string text;
    size_t limit;
    std::string clean;
  } const cases[] = {
      {"line breaks and control bytes",
       "a\r\nb\x01\x1f\x7f"
       "c\tz",
       400, "abcz"},
      {"a double-byte character at the cut", "x" + a + a, 4, "x" + a},
      {"a double-byte character that fits", a + a, 4, a + a},
      {"a lead byte left at the end", "ab\x82", 400, "ab"},
      {"a control byte inside a character", "\x82\n\xa0", 400, "\x82\xa0"},
      {"single-byte katakana", "\xb1\xb2\xb3", 2, "\xb1\xb2"},
      {"nothing but control bytes", "\r\n\x1b", 400, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(server::CleanText(c.text, c.limit), c.clean) << c.what;

  // Over the wire: a long name with a line break, and a rename to nothing.
  Harness harness("127.0.0.24");
  auto q = harness.Connect("Q");
  auto n = harness.Connect();
  std::string name = "N\n";
  for (int i = 0; i < 40; ++i) name += a;
  n->Command("G_JOIN", name);
  Strings got = harness.Received({q.get(), n.get()})[0];
  std::string expected = "N";
  for (int i = 0; i < 31; ++i) expected += a;  // 63 bytes: the next would pass 64
  EXPECT_EQ(got, Strings{"S_GREETING," + Id(*n) + "," + expected});
  n->Command("G_RENAME", "\r\n");
  EXPECT_TRUE(harness.Received({q.get(), n.get()})[0].empty()) << "a name of nothing but control bytes";
}

TEST(Defences, ASlowReaderIsDroppedWhileTheSenderIsHeldBack) {
  Harness harness("127.0.0.25", ":memory:", Generous);
  RawClient sleeper;
  ASSERT_TRUE(sleeper.Connect("127.0.0.25", harness.server().port(), "127.0.0.128", 4096));
  harness.Settle({&sleeper});
  sleeper.Command("G_JOIN", "S");
  auto q = harness.Connect("Q", "127.0.0.129");
  auto r = harness.Connect("R", "127.0.0.130");
  harness.Received({q.get(), r.get()});

  // Lines pile up for the one that never reads until the server stops
  // holding them; the one that reads hears every line.
  const std::string line(400, 'z');
  std::string batch;
  for (int i = 0; i < 50; ++i) batch += Wire(*q, "G_CHAT", line);
  size_t sent = 0;
  size_t heard = 0;
  for (int round = 0; round < 2000 && harness.lobby().FindUser(sleeper.id) != nullptr; ++round) {
    q->SendRaw(batch);
    sent += 50;
    ASSERT_TRUE(harness.RunUntil({q.get(), r.get()}, [&] { return r->inbox.size() >= 50; }));
    heard += Drain(*r).size();
    q->inbox.clear();
  }
  EXPECT_EQ(harness.lobby().FindUser(sleeper.id), nullptr);
  EXPECT_EQ(LogCount(harness.log(), "stopped reading"), 1u);
  harness.Received({q.get(), r.get()});
  EXPECT_GE(heard, sent) << "every line reached the reader";

  // A user that asks and asks without reading is only held back: its
  // questions are not read until it takes its answers, then it gets every
  // one.
  RawClient asker;
  ASSERT_TRUE(asker.Connect("127.0.0.25", harness.server().port(), "127.0.0.131", 4096));
  harness.Settle({&asker});
  // A long name makes long answers, to get past what the sockets hold.
  asker.Command("G_JOIN", std::string(server::kNameBytes, 'A'));
  harness.Settle({&asker});
  asker.inbox.clear();
  harness.Received({r.get()});
  constexpr size_t kQuestions = 100000;
  const std::string ask = Wire(asker, "G_INFO", Id(asker));
  std::string questions;
  for (size_t i = 0; i < kQuestions; ++i) questions += ask;
  const uint64_t before = harness.server().counters().messagesIn;
  size_t taken = 0;
  for (int round = 0; round < 5000; ++round) {
    taken += asker.SendSome(std::string_view(questions).substr(taken));
    harness.server().RunOnce(1);
  }
  EXPECT_LT(harness.server().counters().messagesIn - before, kQuestions) << "the asker is not read";
  EXPECT_TRUE(harness.lobby().IsJoined(asker.id)) << "nor dropped";
  r->Command("G_INFO", Id(*r));
  EXPECT_EQ(harness.Received({r.get()})[0].size(), 1u) << "the others are served meanwhile";
  ASSERT_TRUE(harness.RunUntil(
      {&asker},
      [&] {
        taken += asker.SendSome(std::string_view(questions).substr(taken));
        return asker.inbox.size() >= kQuestions;
      },
      30s));
  EXPECT_EQ(asker.inbox.size(), kQuestions);
}

// Each list holds every user: asked for again and again, an unchanged list
// goes out twice a second at most, and a changed one at once.
TEST(Defences, AnUnchangedListGoesOutTwiceASecondAtMost) {
  Harness harness("127.0.0.32");
  auto f = harness.Connect("F");
  std::string burst;
  // Within the budget of every command, with room for the one below.
  for (int i = 0; i < 900; ++i) burst += Wire(*f, "G_LIST", "*");
  f->SendRaw(burst);
  const auto until = std::chrono::steady_clock::now() + 1200ms;
  harness.RunUntil({f.get()}, [&] { return std::chrono::steady_clock::now() > until; });
  const Strings lists = Drain(*f);
  EXPECT_GE(lists.size(), 1u);
  EXPECT_LE(lists.size(), 3u) << "at once, then after 0.5 s and 1 s";
  auto q = harness.Connect("Q");
  f->Command("G_LIST");
  ASSERT_TRUE(harness.RunUntil({f.get()}, [&] {
    return std::any_of(f->inbox.begin(), f->inbox.end(),
                       [](const std::string& m) { return m.starts_with("S_LIST,") && m.ends_with(":Q:0"); });
  }));
}

TEST(Defences, ATurnThatRunsTooLongIsEndedByTheServer) {
  Harness harness("127.0.0.26", ":memory:", [](server::ServerOptions& options) { options.turnTime = 200ms; });
  auto l = harness.Connect("L");
  auto q = harness.Connect("Q");
  l->Command("P_CREATE");
  harness.Received({l.get(), q.get()});
  q->Command("P_JOIN", "1");
  q->Command("P_LIST");
  harness.Received({l.get(), q.get()});
  l->Command("P_START");
  Strings got = harness.Received({l.get(), q.get()})[1];
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1], "S_OTURN," + Id(*l));
  // The leader never draws: its turn ends without it and Q plays.
  ASSERT_TRUE(harness.RunUntil({l.get(), q.get()}, [&] { return q->inbox.size() >= 2; }));
  // The party is told, in the party chat, from a speaker no user can be.
  const std::string timedOut = "S_PCHAT SYS> L" + sjis::Text("さんの手番を時間切れで終了しました");
  EXPECT_EQ(Drain(*q), (Strings{timedOut, "S_TURNEND," + Id(*l), "S_READY"}));
  EXPECT_EQ(Drain(*l), (Strings{timedOut, "S_TURNEND," + Id(*l), "S_OTURN," + Id(*q)}));
  EXPECT_EQ(LogCount(harness.log(), "without a turn end"), 1u);
  q->Command("P_DROW");
  EXPECT_TRUE(harness.Received({q.get()})[0].at(0).starts_with("S_DREW,"));
}

// A game given up in its first turn leaves no clock behind: the next game's
// first turn has its whole time.
TEST(Defences, ANewGameGetsAWholeFirstTurn) {
  Harness harness("127.0.0.27", ":memory:", [](server::ServerOptions& options) { options.turnTime = 200ms; });
  auto l = harness.Connect("L");
  auto q = harness.Connect("Q");
  const auto runFor = [&](std::chrono::milliseconds span) {
    const auto until = std::chrono::steady_clock::now() + span;
    harness.RunUntil({l.get(), q.get()}, [&] { return std::chrono::steady_clock::now() > until; });
  };
  l->Command("P_CREATE");
  harness.Received({l.get(), q.get()});
  for (int game = 0; game < 2; ++game) {
    q->Command("P_JOIN", "1");
    q->Command("P_LIST");
    harness.Received({l.get(), q.get()});
    l->Command("P_START");
    harness.Received({l.get(), q.get()});
    if (game == 0) {
      runFor(50ms);
      q->Command("P_BYE");
      harness.Received({l.get(), q.get()});
      runFor(250ms);  // past the first game's deadline
      Drain(*l);
    }
  }
  runFor(100ms);
  EXPECT_EQ(Drain(*l), Strings{}) << "the leader's first turn ended early";
  EXPECT_EQ(LogCount(harness.log(), "without a turn end"), 0u);
}

}  // namespace
}  // namespace gorvane::testing
