// SPDX-License-Identifier: GPL-3.0-or-later
#include "bot/start_gate.h"

#include <gtest/gtest.h>

namespace gorvane::bot {
namespace {

using std::chrono::seconds;

TEST(StartGate, StartsOnceThePartyHasCompanyAndHasSettled) {
  struct Seen {
    int at;  // seconds from the party's making
    std::vector<int32_t> members;
  };
  struct Case {
    const char* what;
    StartRule rule;
    std::vector<Seen> seen;
    int decideAt;
    bool start;
    std::optional<int> lookAgain;  // seconds; nothing: only a roster change
  };
  const Case cases[] = {
      {"alone even where one player would do", {1, seconds(0)}, {{0, {1}}}, 60, false, std::nullopt},
      {"one other has just joined", {2, seconds(5)}, {{0, {1}}, {10, {1, 2}}}, 11, false, 15},
      {"unchanged just long enough", {2, seconds(5)}, {{0, {1}}, {10, {1, 2}}}, 15, true, std::nullopt},
      {"a join during the wait begins it again",
       {2, seconds(5)},
       {{0, {1}}, {10, {1, 2}}, {13, {1, 2, 3}}},
       16,
       false,
       18},
      {"a leave during the wait begins it again",
       {2, seconds(5)},
       {{10, {1, 2, 3}}, {13, {1, 3}}},
       16,
       false,
       18},
      {"a leave below the count stops it",
       {3, seconds(5)},
       {{10, {1, 2, 3}}, {12, {1, 3}}},
       30,
       false,
       std::nullopt},
      {"the same list again is no change",
       {2, seconds(5)},
       {{10, {1, 2}}, {14, {1, 2}}},
       15,
       true,
       std::nullopt},
      {"the same people in another order",
       {2, seconds(5)},
       {{10, {1, 2}}, {14, {2, 1}}},
       15,
       true,
       std::nullopt},
      {"settle 0 starts as the other joins",
       {2, seconds(0)},
       {{0, {1}}, {10, {1, 2}}},
       10,
       true,
       std::nullopt},
  };
  const std::chrono::steady_clock::time_point made{std::chrono::hours(100)};
  for (const Case& c : cases) {
    StartGate gate(c.rule);
    for (const Seen& s : c.seen) gate.Saw(s.members, made + seconds(s.at));
    StartVerdict expected{c.start, std::nullopt};
    if (c.lookAgain) expected.lookAgain = made + seconds(*c.lookAgain);
    const StartVerdict verdict = gate.Decide(made + seconds(c.decideAt));
    EXPECT_EQ(verdict.start, expected.start) << c.what;
    EXPECT_EQ(verdict.lookAgain, expected.lookAgain) << c.what;
  }
}

}  // namespace
}  // namespace gorvane::bot
