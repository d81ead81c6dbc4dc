// SPDX-License-Identifier: GPL-3.0-or-later
// The gorvane-bot program itself: its exit codes, and a SIGTERM that makes it
// say goodbye before it goes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "scripted_peer.h"

namespace gorvane::bot {
namespace {

using namespace std::string_literals;
using SteadyClock = std::chrono::steady_clock;

namespace fs = std::filesystem;

const std::string kDeck = std::string(GORVANE_DATA_DIR) + "/longcardlist.txt";

// Runs the program in the given folder (the test's own when empty), its
// output going to the given file (thrown away when empty), its standard
// input read from the given file (none when empty); its process id.
pid_t Launch(const std::vector<std::string>& arguments, const fs::path& folder = {},
             const fs::path& output = {}, const fs::path& input = {}) {
  std::vector<char*> argv{const_cast<char*>(GORVANE_BOT_BINARY)};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!folder.empty() && ::chdir(folder.c_str()) != 0) ::_exit(127);
    const int sink = output.empty() ? ::open("/dev/null", O_WRONLY)
                                    : ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(sink, STDOUT_FILENO);
    ::dup2(sink, STDERR_FILENO);
    if (!input.empty()) ::dup2(::open(input.c_str(), O_RDONLY), STDIN_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// The exit code, or nothing when the program has not ended in time (it is
// then killed).
std::optional<int> ExitCode(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(5)) {
  const auto deadline = SteadyClock::now() + limit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (SteadyClock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
}

// Nobody listens on 127.0.0.84: a player that gets as far as connecting
// ends with 1, one stopped before with 2 and a line saying why.
TEST(BotProgram, ExitCodesAndTheirOneLineSayWhatWentWrong) {
  const fs::path root = fs::temp_directory_path() / ("gorvane_bot_program_" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "with-deck");
  fs::create_directories(root / "bare");
  fs::copy_file(kDeck, root / "with-deck" / "longcardlist.txt");
  std::ofstream(root / "broken.txt", std::ios::binary) << "c1 L Path 0 0 10\r\nc2 H Orc 0 1 8\r\nc3\r\n";
  std::ofstream(root / "blank.txt", std::ios::binary) << "";
  const std::vector<std::string> play = {"--host", "127.0.0.84", "--create"};
  auto with = [&](std::vector<std::string> more) {
    more.insert(more.begin(), play.begin(), play.end());
    return more;
  };
  const struct {
    const char* what;
    std::vector<std::string> arguments;
    fs::path folder;
    int exitCode;
    std::string output;  // what the output begins with
  } cases[] = {
      {"not a command line", {"--create", "--join-any"}, root / "bare", 2, "gorvane-bot: give exactly one"},
      {"a settle time that is no number", with({"--start-after", "soon"}), root / "with-deck", 2,
       "gorvane-bot: --start-after wants"},
      {"a deck given", with({"--cards", kDeck}), root / "bare", 1, "gorvane-bot: "},
      {"the working directory's deck", play, root / "with-deck", 1, "gorvane-bot: "},
      {"a deck given that is not there", with({"--cards", "nowhere.txt"}), root / "with-deck", 2,
       "gorvane-bot: cannot read the deck 'nowhere.txt'"},
      {"no deck anywhere", play, root / "bare", 2, "gorvane-bot: no deck"},
      {"a deck with a bad line", with({"--cards", (root / "broken.txt").string()}), root / "bare", 2,
       "gorvane-bot: the deck '" + (root / "broken.txt").string() + "' has a bad line 3: "},
      {"a deck without cards", with({"--cards", (root / "blank.txt").string()}), root / "bare", 2,
       "gorvane-bot: the deck '" + (root / "blank.txt").string() + "' holds no cards"},
      {"help", {"--help"}, root / "bare", 0, "usage: gorvane-bot"},
      {"version", {"--version"}, root / "bare", 0, "gorvane-bot 0.5.0.86\n"},
  };
  for (const auto& c : cases) {
    const fs::path output = root / "output";
    EXPECT_EQ(ExitCode(Launch(c.arguments, c.folder, output)), c.exitCode) << c.what;
    std::ifstream in(output);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.rfind(c.output, 0), 0u) << c.what << ": " << text;
    if (c.exitCode != 0) {
      EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << c.what << ": one line, not " << text;
    }
  }
  fs::remove_all(root);
}

TEST(BotProgram, SaysGoodbyeOnSigtermAndEnds) {
  testing::ScriptedPeer peer("127.0.0.83", {"S_CONNECT,6,hi\0S_GREETING,6,bot\0"s});
  ASSERT_TRUE(peer.bound());
  const pid_t pid = Launch({"--host", "127.0.0.83", "--name", "bot", "--join-any", "--cards", kDeck});
  const auto deadline = SteadyClock::now() + std::chrono::seconds(5);
  while (peer.received().find("G_PLIST 6 *") == std::string::npos && SteadyClock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGTERM);
  EXPECT_EQ(ExitCode(pid), 0);
  const std::string received = peer.received();
  EXPECT_EQ(received.rfind("G_JOIN 6 bot\0"s, 0), 0u) << received;
  EXPECT_NE(received.find("G_BYE 6 *\0"s), std::string::npos) << received;
}

// --login: after its greeting the player logs in as the client does, with
// the password it read from standard input, so that its games count.
TEST(BotProgram, LogsInAfterItsGreetingWithThePasswordFromStandardInput) {
  testing::ScriptedPeer peer("127.0.0.85", {"S_CONNECT,6,hi\0S_GREETING,6,bot\0"s});
  ASSERT_TRUE(peer.bound());
  const fs::path input = fs::temp_directory_path() / ("gorvane_bot_password_" + std::to_string(::getpid()));
  std::ofstream(input) << "open sesame\n";
  const pid_t pid =
      Launch({"--host", "127.0.0.85", "--name", "bot", "--join-any", "--login", "alice", "--cards", kDeck},
             {}, {}, input);
  const auto deadline = SteadyClock::now() + std::chrono::seconds(5);
  while (peer.received().find("G_LOGIN") == std::string::npos && SteadyClock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGTERM);
  EXPECT_EQ(ExitCode(pid), 0);
  fs::remove(input);
  const std::string received = peer.received();
  EXPECT_NE(received.find("G_JOIN 6 bot\0"s), std::string::npos) << received;
  EXPECT_NE(received.find("G_LOGIN 6 alice open sesame\0"s), std::string::npos) << received;
}

}  // namespace
}  // namespace gorvane::bot
