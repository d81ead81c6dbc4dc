// SPDX-License-Identifier: GPL-3.0-or-later
// A result the server could not store, logged at a stop and read back for
// a replay: what a host's log makes of the line must still give the same
// result, and no other line may pass for one.
#include "server/store/result_lines.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace gorvane::server {
namespace {

TEST(ResultLines, ALoggedResultReadsBackAsItWas) {
  const std::string id("\x87\x5e\x00\xff\x10", 5);
  const struct {
    const char* what;
    OwedResult result;
    std::string before;  // what a journal puts in front
    std::string after;
  } cases[] = {
      {"as logged", {id, "alice", 700, 0}, "", ""},
      {"a journal's prefix and a CR",
       {id, "bob", 1000, 1},
       "Dec 10 05:04:19 host gorvane-server[42]: ",
       "\r"},
      {"a login with a comma and the words of the line", {id, "a, prize 5, win 1, id 00", 100, 1}, "", ""},
      {"code page 932 bytes", {id, "\x97\x45\x8E\xD2", 0, 0}, "", "\n"},
  };
  for (const auto& c : cases) {
    const std::string line = c.before + ResultLine(c.result) + c.after;
    const std::optional<OwedResult> back = ParseResultLine(line);
    ASSERT_TRUE(back) << c.what << ": " << line;
    EXPECT_EQ(back->id, c.result.id) << c.what;
    EXPECT_EQ(back->login, c.result.login) << c.what;
    EXPECT_EQ(back->prize, c.result.prize) << c.what;
    EXPECT_EQ(back->wins, c.result.wins) << c.what;
  }
}

TEST(ResultLines, OtherLinesAreNotResults) {
  for (const char* line : {
           "2 game results could not be stored; add them by hand:",
           "result not stored: login alice, prize 700, win 1",
           "result not stored: login alice, prize seven, win 1, id 00",
           "result not stored: login alice, prize 700, win 1, id 0g",
           "result not stored: login alice, prize 700, win 1, id 012",
           "result not stored: login , prize 700, win 1, id 00",
       }) {
    EXPECT_FALSE(ParseResultLine(line)) << line;
  }
}

}  // namespace
}  // namespace gorvane::server
