#include "server/wire.h"

#include <gtest/gtest.h>

#include "core/codec.h"
#include "core/sjis.h"

namespace gorvane::server {
namespace {

// Names a user may choose, read back the way the client reads a list entry.
TEST(Wire, RecordsComeBackWholeThroughTheClientsSplit) {
  const std::string names[] = {
      "Bob",         "A B",           "a,b",  "a:b",  "\"quoted\"", "x\"y",  "",
      "  lead",      "trail  ",       "a\tb", "\"\"", ":",          ",:\" ", sjis::Text("勇者 ロト"),
      "ends with\"", "\"starts quote"};
  for (const std::string& name : names) {
    const std::string message = Message("S_LIST", {Record({"12", name, "3"}), Record({"4", "plain", "0"})});
    const Fields records = SplitCommaText(message);
    ASSERT_EQ(records.size(), 3u) << message;
    EXPECT_EQ(records[0], "S_LIST");
    EXPECT_EQ(SplitDelimitedText(records[1], ':'), (Fields{"12", name, "3"})) << message;
    EXPECT_EQ(SplitDelimitedText(records[2], ':'), (Fields{"4", "plain", "0"}));
    // A name alone in a field (S_GREETING, S_RENAME, S_INFO) comes back too.
    EXPECT_EQ(SplitCommaText(Message("S_RENAME", {"12", name})), (Fields{"S_RENAME", "12", name})) << name;
  }
}

TEST(Wire, CommandsSplitIntoKindIdAndVerbatimArgument) {
  struct Case {
    std::string_view message;
    std::string_view kind, id, argument;
  } const cases[] = {
      {"G_CHAT 5 hello,  \"world\" ", "G_CHAT", "5", "hello,  \"world\" "},
      {"G_LIST 5 *", "G_LIST", "5", "*"},
      {"G_LIST 5", "G_LIST", "5", ""},
      {"G_LIST", "G_LIST", "", ""},
      {"", "", "", ""},
      {"P_PLAY 3 3 12 40", "P_PLAY", "3", "3 12 40"},
  };
  for (const Case& c : cases) {
    const Command command = ParseCommand(c.message);
    EXPECT_EQ(command.kind, c.kind) << c.message;
    EXPECT_EQ(command.id, c.id) << c.message;
    EXPECT_EQ(command.argument, c.argument) << c.message;
  }
}

TEST(Wire, NumbersOfAnArgumentAreAllOrNothing) {
  EXPECT_EQ(ParseNumbers("12 40 "), (std::vector<int32_t>{12, 40}));
  EXPECT_EQ(ParseNumbers("  -3\t7"), (std::vector<int32_t>{-3, 7}));
  EXPECT_EQ(ParseNumbers(""), std::vector<int32_t>{});
  for (const std::string_view bad : {"12 x", "1.5", "99999999999", "0x10", "12,40"}) {
    EXPECT_FALSE(ParseNumbers(bad)) << bad;
  }
}

TEST(Wire, LogLinesHoldNoControlBytesAndStayShort) {
  EXPECT_EQ(Printable("a\nb\x1b[31m\\"), "a\\x0ab\\x1b[31m\\x5c");
  EXPECT_EQ(Printable(std::string(100, 'x'), 4), "xxxx...");
}

}  // namespace
}  // namespace gorvane::server
