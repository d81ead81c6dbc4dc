#include "bot/bot_options.h"

#include <gtest/gtest.h>

#include "core/sjis.h"

namespace gorvane::bot {
namespace {

TEST(BotCommandLine, ReadsEachModeAndItsOptions) {
  std::string error;
  auto line = ParseBotCommandLine(
      {"--host", "127.0.0.9", "--port", "4000", "--name", "勇者", "--join", "3", "--log"}, error);
  ASSERT_TRUE(line) << error;
  EXPECT_EQ(line->player.host, "127.0.0.9");
  EXPECT_EQ(line->player.port, std::optional<uint16_t>(4000));
  EXPECT_EQ(line->player.name, sjis::Text("勇者"));
  EXPECT_EQ(line->player.mode, Mode::kJoin);
  EXPECT_EQ(line->player.party, 3);
  EXPECT_TRUE(line->log);

  line = ParseBotCommandLine({"--create"}, error);
  ASSERT_TRUE(line) << error;
  EXPECT_EQ(line->player.mode, Mode::kCreate);
  EXPECT_EQ(line->player.host, "127.0.0.1");
  EXPECT_FALSE(line->player.port) << "the client's own port";
  EXPECT_FALSE(line->player.name.empty());
  EXPECT_FALSE(line->log);

  line = ParseBotCommandLine({"--join-any", "--name", "Bob"}, error);
  ASSERT_TRUE(line) << error;
  EXPECT_EQ(line->player.mode, Mode::kJoinAny);
}

TEST(BotCommandLine, RefusesWhatCannotBeRun) {
  const std::vector<std::vector<std::string>> refused = {
      {},
      {"--create", "--join-any"},
      {"--join", "0"},
      {"--join", "two"},
      {"--join"},
      {"--create", "--port", "0"},
      {"--create", "--port", "70000"},
      {"--create", "--host", "localhost"},
      {"--create", "--host", "::1"},
      {"--create", "--name", ""},
      {"--create", "--name", "say \"hi\""},
      {"--create", "--name", "\xF0\x9F\x98\x80"},  // no code page 932 form
      {"--create", "--verbose"},
  };
  for (const auto& arguments : refused) {
    std::string error;
    std::string shown;
    for (const auto& argument : arguments) shown += argument + " ";
    EXPECT_FALSE(ParseBotCommandLine(arguments, error)) << shown;
    EXPECT_FALSE(error.empty()) << shown;
  }
}

}  // namespace
}  // namespace gorvane::bot
