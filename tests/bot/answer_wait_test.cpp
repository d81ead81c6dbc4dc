// SPDX-License-Identifier: GPL-3.0-or-later
#include "bot/answer_wait.h"

#include <gtest/gtest.h>

namespace gorvane::bot {
namespace {

TEST(AnswerWait, EachCommandWaitsForItsOwnAnswers) {
  struct Case {
    const char* sent;
    std::vector<const char*> arriving;  // the last one answers it
    bool waitsAtAll = true;
  };
  const Case cases[] = {
      {"P_DROW 5 *", {"S_ODREW,3", "S_DREW,12"}},
      {"P_DROW 5 *", {"S_FDREW"}},
      {"P_PLAY 5 5 12", {"S_OPLAY,3,3,1", "S_UNPLAYED,1"}},
      {"P_PLAY 5 7 21", {"S_PLAYED"}},
      {"P_PILE 5 12 40 ", {"S_FPILE,1"}},
      {"P_PILE 5 12 ", {"S_PILED"}},
      // Another member's turn end is not ours.
      {"P_TURNEND 5 *", {"S_TURNEND,3", "S_TURNEND,15", "S_TURNEND,5"}},
      {"P_CREATE 5 *", {"S_CREATE,6,1", "S_CREATE,5,2"}},
      {"P_JOIN 5 2", {"S_PJOIN,6,2", "S_PCANCEL"}},
      {"P_START 5 *", {"S_GLIST", "S_FIRSTHAND,100,1,2,3"}},
      // A game that ends answers whatever a game command waited for.
      {"P_DROW 5 *", {"S_QUITGAME,3"}},
      {"P_PLAY 5 5 1", {"S_RESULT,5:0,3:100"}},
      {"G_LIST 5 *", {}, false},
      {"P_CHAT 5 hi", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sent);
    AnswerWait wait;
    wait.Sent(c.sent);
    ASSERT_EQ(wait.waiting(), c.waitsAtAll);
    if (!c.waitsAtAll) continue;
    EXPECT_EQ(wait.command(), c.sent);
    for (size_t i = 0; i < c.arriving.size(); ++i) {
      EXPECT_TRUE(wait.waiting()) << "answered early by " << c.arriving[i];
      wait.Received(c.arriving[i], 5);
    }
    EXPECT_FALSE(wait.waiting());
  }
}

TEST(AnswerWait, IsOverdueOnlyPastItsPatience) {
  AnswerWait wait;
  const auto now = std::chrono::steady_clock::now();
  EXPECT_FALSE(wait.Overdue(now + std::chrono::hours(1), std::chrono::seconds(1)));
  wait.Sent("P_DROW 5 *");
  EXPECT_FALSE(wait.Overdue(std::chrono::steady_clock::now(), std::chrono::seconds(10)));
  EXPECT_TRUE(
      wait.Overdue(std::chrono::steady_clock::now() + std::chrono::seconds(11), std::chrono::seconds(10)));
  wait.Forget();
  EXPECT_FALSE(wait.waiting());
}

}  // namespace
}  // namespace gorvane::bot
