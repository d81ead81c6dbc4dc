// SPDX-License-Identifier: GPL-3.0-or-later
// Clients that break the protocol: each is refused or cut off and logged,
// and a second client keeps being served throughout.
#include <gtest/gtest.h>

#include <algorithm>

#include "spine/codec.h"
#include "support/server/loopback.h"

namespace gorvane::testing {
namespace {

using Strings = std::vector<std::string>;

// The bystander still gets its own chat line back.
void StillServed(Harness& harness, RawClient& bystander) {
  harness.Received({&bystander});
  bystander.Command("G_CHAT", "still here");
  const Strings got = harness.Received({&bystander})[0];
  EXPECT_EQ(got, Strings{"S_CHAT Q> still here"});
}

struct Hostile {
  const char* what;
  std::string bytes;  // as sent, {id} standing for the sender's id
  Strings answer;     // what the sender gets back
};

TEST(Hostile, BadCommandsAreRefusedLoggedAndHarmNobody) {
  Harness harness("127.0.0.16", ":memory:", Generous);
  auto h = harness.Connect("H");
  auto q = harness.Connect("Q");
  const Hostile cases[] = {
      {"another user's id", "G_CHAT {other} hijack", {}},
      {"no id", "G_LIST", {}},
      {"an id that is no number", "G_LIST x1 *", {}},
      {"unknown kind", "G_FLY {id} *", {}},
      {"empty message", "", {}},
      {"blanks only", "   ", {}},
      {"info without argument", "G_INFO {id}", {}},
      {"info of no number", "G_INFO {id} abc", {}},
      {"join without argument", "P_JOIN {id}", {"S_PCANCEL"}},
      {"join of no number", "P_JOIN {id} 1x", {"S_PCANCEL"}},
      {"join beyond 32 bits", "P_JOIN {id} 99999999999", {"S_PCANCEL"}},
      {"play outside a game", "P_PLAY {id} {id} 5", {"S_UNPLAYED,1"}},
      {"discard outside a game", "P_PILE {id} 5", {"S_FPILE,1"}},
      {"draw outside a game", "P_DROW {id} *", {}},
      {"turn end outside a game", "P_TURNEND {id} *", {}},
      {"start outside a party", "P_START {id} *", {}},
      {"party chat outside a party", "P_CHAT {id} psst", {}},
      {"second join", "G_JOIN {id} Again", {}},
  };
  for (const Hostile& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = c.bytes;
    for (const auto& [token, value] : {std::pair<std::string, int32_t>{"{id}", h->id}, {"{other}", q->id}}) {
      for (size_t at; (at = bytes.find(token)) != std::string::npos;)
        bytes.replace(at, token.size(), std::to_string(value));
    }
    harness.Received({h.get(), q.get()});
    harness.NewLog();
    h->SendRaw(bytes + '\0');
    const auto got = harness.Received({h.get(), q.get()});
    EXPECT_EQ(got[0], c.answer);
    EXPECT_TRUE(got[1].empty());
    const Strings log = harness.NewLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("refused"), std::string::npos) << log[0];
    StillServed(harness, *q);
  }
  // Before G_JOIN only the goodbye is heard.
  RawClient fresh;
  ASSERT_TRUE(fresh.Connect("127.0.0.16", harness.server().port()));
  harness.RunUntil({&fresh}, [&] { return fresh.id != 0; });
  Drain(fresh);
  harness.NewLog();
  fresh.Command("G_CHAT", "early");
  fresh.Command("P_CREATE");
  EXPECT_TRUE(harness.Received({&fresh, q.get()})[1].empty());
  EXPECT_EQ(harness.NewLog().size(), 2u);
}

TEST(Hostile, ConnectionsCutOffLeaveTheOthersServed) {
  Harness harness("127.0.0.17", ":memory:", Generous);
  auto q = harness.Connect("Q");
  struct Cut {
    const char* what;
    std::function<void(RawClient&)> act;
    const char* logged;
  } const cuts[] = {
      {"64 KiB without a NUL",
       [](RawClient& h) {
         h.SendRaw("G_CHAT " + std::to_string(h.id) + " ");
         h.SendRaw(std::string(64 * 1024, 'x'));
       },
       "more than 64 KiB without a NUL"},
      {"a whole command, then 64 KiB without a NUL",
       [](RawClient& h) {
         h.SendRaw("G_INFO " + std::to_string(h.id) + " " + std::to_string(h.id) + '\0' + "G_CHAT " +
                   std::to_string(h.id) + " " + std::string(40 * 1024, 'x'));
         h.SendRaw(std::string(30 * 1024, 'x'));
       },
       "more than 64 KiB without a NUL"},
      {"gone in the middle of a message",
       [](RawClient& h) {
         h.SendRaw("G_CHAT " + std::to_string(h.id) + " half a li");
         h.Close();
       },
       "closed the connection"},
  };
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.what);
    auto h = harness.Connect("H");
    harness.Received({q.get()});
    harness.NewLog();
    cut.act(*h);
    harness.RunUntil({h.get(), q.get()}, [&] { return !q->inbox.empty(); });
    EXPECT_EQ(harness.Received({q.get()})[0], Strings{"S_ABNORMAL," + std::to_string(h->id)});
    const Strings log = harness.NewLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find(cut.logged), std::string::npos) << log[0];
    StillServed(harness, *q);
  }
}

TEST(Hostile, AGameSurvivesBadMovesAndEndsCleanlyOnALoss) {
  Harness harness("127.0.0.18");
  auto h = harness.Connect("H");
  auto q = harness.Connect("Q");
  auto r = harness.Connect("R");
  h->Command("P_CREATE");
  harness.Received({h.get(), q.get(), r.get()});
  for (RawClient* member : {q.get(), r.get()}) {
    member->Command("P_JOIN", "1");
    member->Command("P_LIST");
  }
  // The start waits for these rosters: the game below is dealt at once only
  // when both have gone out.
  const auto rostered = [](const RawClient& member) {
    return std::any_of(member.inbox.begin(), member.inbox.end(),
                       [](const std::string& m) { return m.starts_with("S_PLIST,"); });
  };
  ASSERT_TRUE(harness.RunUntil({h.get(), q.get(), r.get()}, [&] { return rostered(*q) && rostered(*r); }));
  harness.Received({h.get(), q.get(), r.get()});
  CardCatalogue cards;
  LoadCards(cards);
  h->Command("P_START");
  auto got = harness.Received({h.get(), q.get(), r.get()});
  ASSERT_EQ(got[0].at(1), "S_READY");
  const Fields hand = SplitCommaText(got[0].at(0));

  // Out of turn, undrawn, cards that are not in the hand: refused, and the
  // turn goes on.
  q->Command("P_PLAY", std::to_string(q->id) + " 1");
  q->Command("P_PILE", "1");
  h->Command("P_PLAY", std::to_string(h->id) + " " + hand.at(2));
  h->Command("P_DROW");
  h->Command("P_PLAY", std::to_string(h->id) + " 0 -1 201");
  got = harness.Received({h.get(), q.get(), r.get()});
  ASSERT_EQ(got[0].size(), 3u);
  EXPECT_EQ(got[0][0], "S_UNPLAYED,1");
  EXPECT_TRUE(got[0][1].starts_with("S_DREW,")) << got[0][1];
  const bool trap = cards.Card(std::stoi(got[0][1].substr(7))).kind == 'O';
  EXPECT_EQ(got[0][2], "S_UNPLAYED,1");
  Strings drew{"S_ODREW," + std::to_string(h->id)};
  if (trap) drew.push_back("S_OPEN," + std::to_string(h->id));
  EXPECT_EQ(got[2], drew);
  drew.insert(drew.begin(), {"S_UNPLAYED,1", "S_FPILE,1"});
  EXPECT_EQ(got[1], drew);

  // The player whose turn it is vanishes mid-game, mid-message.
  h->SendRaw("P_TURNE");
  h->Close();
  got = harness.Received({q.get(), r.get()});
  EXPECT_EQ(got[0], (Strings{"S_QUITGAME," + std::to_string(h->id), "S_LEADER," + std::to_string(q->id),
                             "S_ABNORMAL," + std::to_string(h->id)}));
  EXPECT_EQ(got[1], got[0]);
  EXPECT_FALSE(harness.lobby().FindParty(1)->game);
  // The party plays on under its new leader.
  q->Command("P_START");
  got = harness.Received({q.get(), r.get()});
  EXPECT_EQ(got[0].at(1), "S_READY");
  EXPECT_EQ(got[1].at(1), "S_OTURN," + std::to_string(q->id));
}

}  // namespace
}  // namespace gorvane::testing
