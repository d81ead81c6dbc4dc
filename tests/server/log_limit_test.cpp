// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/base/log_limit.h"

#include <gtest/gtest.h>

namespace gorvane::server {
namespace {

using std::chrono::seconds;

TEST(LogLimit, EachKindAndAddressHasItsOwnBudgetAndOneSummaryPerBurst) {
  LogLimit limit(20, seconds(10));
  const TimePoint t0{};
  size_t written = 0;
  for (int i = 0; i < 25; ++i) written += limit.Admit("10.0.0.1", "connection", t0 + seconds(1)) ? 1 : 0;
  EXPECT_EQ(written, 20u);
  // Another address, another kind: their own budgets.
  EXPECT_TRUE(limit.Admit("10.0.0.2", "connection", t0 + seconds(1)));
  EXPECT_TRUE(limit.Admit("10.0.0.1", "refused", t0 + seconds(1)));
  EXPECT_TRUE(limit.Summaries(t0 + seconds(9)).empty());
  EXPECT_EQ(limit.nextSummary(), t0 + seconds(11));
  const auto lines = limit.Summaries(t0 + seconds(11));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "connection from 10.0.0.1: ... and 5 more like it");
  // A new burst is written again, and a steady trickle within the budget
  // never turns into a summary.
  EXPECT_TRUE(limit.Admit("10.0.0.1", "connection", t0 + seconds(12)));
  for (int window = 2; window < 12; ++window) {
    for (int i = 0; i < 19; ++i) EXPECT_TRUE(limit.Admit("10.0.0.3", "chat", t0 + seconds(window * 10)));
    EXPECT_TRUE(limit.Summaries(t0 + seconds(window * 10 + 5)).empty());
  }
}

// A window that ends with lines held owes its summary, whatever comes
// next: more lines of the burst before the summaries are asked for, or
// nothing until long after.
TEST(LogLimit, ABurstsSummaryOutlivesTheEndOfItsWindow) {
  const struct {
    const char* what;
    int lateLines;  // lines of the same kind at 10.5 s, before the summaries
    int askAt;      // when the summaries are asked for, in seconds
    const char* summary;
  } rows[] = {
      {"asked for when the window ends", 0, 10, "refused from 10.0.0.9: ... and 5 more like it"},
      {"asked for late", 0, 300, "refused from 10.0.0.9: ... and 5 more like it"},
      {"lines after the window, before the summary", 3, 11, "refused from 10.0.0.9: ... and 8 more like it"},
  };
  for (const auto& row : rows) {
    LogLimit limit(20, seconds(10));
    const TimePoint t0{};
    for (int i = 0; i < 25; ++i) limit.Admit("10.0.0.9", "refused", t0);
    for (int i = 0; i < row.lateLines; ++i) {
      limit.Admit("10.0.0.9", "refused", t0 + std::chrono::milliseconds(10500));
    }
    EXPECT_EQ(limit.Summaries(t0 + seconds(row.askAt)), std::vector<std::string>{row.summary}) << row.what;
    EXPECT_TRUE(limit.Admit("10.0.0.9", "refused", t0 + seconds(row.askAt))) << row.what << ": a new burst";
  }
}

}  // namespace
}  // namespace gorvane::server
