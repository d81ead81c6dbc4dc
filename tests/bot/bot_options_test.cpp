// SPDX-License-Identifier: GPL-3.0-or-later
#include "bot/bot_options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>

#include "spine/sjis.h"

namespace gorvane::bot {
namespace {

TEST(BotCommandLine, ReadsEachModeAndItsOptions) {
  std::string error;
  auto line = ParseBotCommandLine(
      {"--host", "127.0.0.9", "--port", "4000", "--name", "勇者", "--join", "3", "--games", "2", "--log"},
      error);
  ASSERT_TRUE(line) << error;
  EXPECT_EQ(line->player.host, "127.0.0.9");
  EXPECT_EQ(line->player.port, std::optional<uint16_t>(4000));
  EXPECT_EQ(line->player.name, sjis::Text("勇者"));
  EXPECT_EQ(line->player.mode, Mode::kJoin);
  EXPECT_EQ(line->player.party, 3);
  EXPECT_EQ(line->games, std::optional<int32_t>(2));
  EXPECT_TRUE(line->log);

  line = ParseBotCommandLine({"--create"}, error);
  ASSERT_TRUE(line) << error;
  EXPECT_EQ(line->player.mode, Mode::kCreate);
  EXPECT_EQ(line->player.host, "127.0.0.1");
  EXPECT_FALSE(line->player.port) << "the client's own port";
  EXPECT_FALSE(line->player.name.empty());
  EXPECT_FALSE(line->log);
  EXPECT_FALSE(line->games) << "plays on until stopped";

  EXPECT_FALSE(line->cards) << "looked for";

  line = ParseBotCommandLine({"--join-any", "--name", "Bob", "--cards", "deck.txt"}, error);
  ASSERT_TRUE(line) << error;
  EXPECT_EQ(line->player.mode, Mode::kJoinAny);
  EXPECT_EQ(line->cards, std::optional<std::string>("deck.txt"));
}

// --login names the account (code page 932, no blank: the server splits
// the login from the password there); the password comes as a line on
// standard input.
TEST(BotCommandLine, LoginAndItsPasswordLine) {
  const struct {
    std::vector<std::string> arguments;
    std::optional<std::string> login;
  } logins[] = {
      {{"--create", "--login", "alice"}, "alice"},
      {{"--create", "--login", "勇者"}, sjis::Text("勇者")},
      {{"--create"}, "guest"},
      {{"--create", "--login", "two words"}, std::nullopt},
      {{"--create", "--login", "guest"}, std::nullopt},
      {{"--create", "--login", "\xF0\x9F\x98\x80"}, std::nullopt},
      {{"--create", "--login"}, std::nullopt},
  };
  for (const auto& c : logins) {
    std::string error;
    const auto line = ParseBotCommandLine(c.arguments, error);
    EXPECT_EQ(line ? std::optional(line->player.login) : std::nullopt, c.login) << c.arguments.back();
    EXPECT_EQ(error.empty(), c.login.has_value()) << error;
  }
  const struct {
    const char* typed;
    std::optional<std::string> password;
  } passwords[] = {
      {"open sesame\r", "open sesame"},
      {"秘密", sjis::Text("秘密")},
      {"", std::nullopt},
      {"\r", std::nullopt},
      {"\xF0\x9F\x98\x80", std::nullopt},
  };
  for (const auto& c : passwords) {
    std::string error;
    EXPECT_EQ(PasswordFromLine(c.typed, error), c.password) << c.typed;
  }
}

// --strength picks the planner and --think the pause before each click;
// anything but 1, 2 or 3 is refused by name, and a player nobody asked to
// think never waits.
TEST(BotCommandLine, StrengthAndThinkingTime) {
  const struct {
    std::vector<std::string> arguments;
    std::optional<int> strength;  // nothing: refused
    bool thinks;
    const char* error;  // part of the refusal
  } cases[] = {
      {{"--create"}, 2, false, ""},
      {{"--create", "--strength", "1"}, 1, false, ""},
      {{"--create", "--strength", "3", "--think"}, 3, true, ""},
      {{"--think", "--join-any"}, 2, true, ""},
      {{"--create", "--strength", "0"}, std::nullopt, false, "--strength wants 1, 2 or 3, not '0'"},
      {{"--create", "--strength", "4"}, std::nullopt, false, "not '4'"},
      {{"--create", "--strength", "two"}, std::nullopt, false, "not 'two'"},
      {{"--create", "--strength"}, std::nullopt, false, "--strength wants a value"},
      {{"--create", "--think", "1"}, std::nullopt, false, "unknown argument '1'"},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto line = ParseBotCommandLine(c.arguments, error);
    const std::string what = c.arguments.back();
    ASSERT_EQ(line.has_value(), c.strength.has_value()) << what << ": " << error;
    if (!line) {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(line->player.strength, *c.strength) << what;
    ThinkTime think(line->player.think, 7);
    std::set<int> waits;
    for (int click = 0; click < 50; ++click) {
      const auto wait = think.Next();
      ASSERT_EQ(wait.has_value(), c.thinks) << what;
      if (!wait) continue;
      EXPECT_GE(*wait, 600) << what;
      EXPECT_LE(*wait, 1800) << what;
      waits.insert(*wait);
    }
    // A pause that never changes looks mechanical to the person watching.
    if (c.thinks) {
      EXPECT_GT(waits.size(), 20u) << what;
    }
  }
}

// Players started one after another without --name must not look alike in
// the lobby: any few hundred processes in a row get names of their own.
TEST(BotCommandLine, DefaultNamesDifferBetweenNearbyProcesses) {
  std::set<std::string> names;
  for (long pid = 4000; pid < 4500; ++pid) {
    const std::string name = DefaultName(pid);
    EXPECT_TRUE(sjis::FromUtf8(name)) << name;
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 500u);
}

TEST(BotCommandLine, HelpAndVersionWinOverEverythingElse) {
  const struct {
    std::vector<std::string> arguments;
    BotCommandLine::Action action;
  } cases[] = {
      {{"--help"}, BotCommandLine::Action::kHelp},
      {{"--version"}, BotCommandLine::Action::kVersion},
      {{"--join", "zero", "--help"}, BotCommandLine::Action::kHelp},
      {{"--create", "--join-any", "--version"}, BotCommandLine::Action::kVersion},
      {{"--create"}, BotCommandLine::Action::kPlay},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto line = ParseBotCommandLine(c.arguments, error);
    ASSERT_TRUE(line) << c.arguments.front() << ": " << error;
    EXPECT_EQ(line->action, c.action) << c.arguments.back();
  }
}

// The player's deck: the one given, else the working directory's, else the
// installed one; nothing the player could not play with.
TEST(BotDeck, ChoosesAReadableDeckOrSaysWhyNot) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("gorvane_bot_deck_" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "here");
  fs::create_directories(root / "empty");
  const std::string good = "c1 L Path 0 0 10\r\nc2 H Orc 0 1 8\r\n";
  auto write = [&](const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  };
  const std::string installed = write(root / "installed.txt", good);
  const std::string given = write(root / "given.txt", good);
  write(root / "here" / "longcardlist.txt", good);
  const std::string missing = (root / "missing.txt").string();
  const fs::path previous = fs::current_path();

  const struct {
    const char* what;
    fs::path workingDirectory;
    std::optional<std::string> given;
    std::string installed;
    std::optional<std::string> chosen;
    const char* errorMentions;
  } cases[] = {
      {"given", root / "here", given, installed, given, ""},
      {"given, missing", root / "here", missing, installed, std::nullopt, "cannot read"},
      {"given, a folder", root / "here", root.string(), installed, std::nullopt, "cannot read"},
      {"the working directory's", root / "here", std::nullopt, installed, "longcardlist.txt", ""},
      {"the installed one", root / "empty", std::nullopt, installed, installed, ""},
      {"none", root / "empty", std::nullopt, missing, std::nullopt, "--cards"},
      {"none installed", root / "empty", std::nullopt, "", std::nullopt, "--cards"},
  };
  for (const auto& c : cases) {
    fs::current_path(c.workingDirectory);
    std::string error;
    EXPECT_EQ(ChooseDeck(c.given, c.installed, error), c.chosen) << c.what;
    if (c.chosen) continue;
    EXPECT_NE(error.find(c.errorMentions), std::string::npos) << c.what << ": " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << c.what << ": one line";
  }
  fs::current_path(previous);
  fs::remove_all(root);
}

// A leader started by hand waits for its party to settle, unless told not to.
TEST(BotCommandLine, StartAfterSetsTheSettleTime) {
  const struct {
    std::vector<std::string> arguments;
    std::optional<std::chrono::milliseconds> startAfter;  // nothing: refused
  } cases[] = {
      {{"--create"}, std::chrono::seconds(5)},
      {{"--create", "--start-after", "0"}, std::chrono::milliseconds(0)},
      {{"--create", "--start-after", "12"}, std::chrono::seconds(12)},
      {{"--start-after", "3", "--create"}, std::chrono::seconds(3)},
      {{"--create", "--start-after", "-1"}, std::nullopt},
      {{"--create", "--start-after", "1.5"}, std::nullopt},
      {{"--create", "--start-after", "soon"}, std::nullopt},
      {{"--create", "--start-after", ""}, std::nullopt},
      {{"--create", "--start-after"}, std::nullopt},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& argument : c.arguments) shown += argument + " ";
    std::string error;
    const auto line = ParseBotCommandLine(c.arguments, error);
    ASSERT_EQ(line.has_value(), c.startAfter.has_value()) << shown << error;
    if (line) {
      EXPECT_EQ(line->player.startAfter, *c.startAfter) << shown;
    } else {
      EXPECT_EQ(error.rfind("--start-after wants", 0), 0u) << shown << error;
      EXPECT_EQ(error.find('\n'), std::string::npos) << shown << "one line";
    }
  }
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
      {"--create", "--games", "0"},
      {"--create", "--cards"},
      {"--create", "--cards", ""},
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
