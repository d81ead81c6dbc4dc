// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <vector>

#include "server/base/limits.h"

namespace gorvane::server {
namespace {

using std::chrono::seconds;

// Cut-offs of connections from one address, at the given seconds: whether
// the address cools off at the last one, and whether it still is 59 s on.
TEST(AddressWatch, TheAddressCoolsOffOnlyWhenSeveralConnectionsWereCutOff) {
  const struct {
    const char* what;
    std::vector<int> cuts;
    bool cooled;
  } rows[] = {
      {"one", {0}, false},
      {"two", {0, 1}, false},
      {"three within the minute", {0, 30, 59}, true},
      {"three spread over more", {0, 30, 61}, false},
      {"the latest three of many", {0, 100, 130, 159}, true},
      {"many, never three in a minute", {0, 40, 80, 120, 160}, false},
  };
  for (const auto& row : rows) {
    AddressWatch watch({5, 0}, seconds(10), seconds(60));
    const TimePoint t0 = TimePoint{} + seconds(1000);
    bool cooled = false;
    for (const int at : row.cuts) cooled = watch.CutOff("10.0.0.1", t0 + seconds(at));
    const TimePoint last = t0 + seconds(row.cuts.back());
    EXPECT_EQ(cooled, row.cooled) << row.what;
    EXPECT_EQ(watch.CoolingOff("10.0.0.1", last + seconds(59)), row.cooled) << row.what;
    EXPECT_FALSE(watch.CoolingOff("10.0.0.2", last)) << row.what << ": another address";
    EXPECT_FALSE(watch.CoolingOff("10.0.0.1", last + seconds(60))) << row.what << ": over";
  }
}

}  // namespace
}  // namespace gorvane::server
