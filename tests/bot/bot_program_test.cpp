// The gorvane-bot program itself: its exit codes, and a SIGTERM that makes it
// say goodbye before it goes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <thread>

#include "scripted_peer.h"

namespace gorvane::bot {
namespace {

using namespace std::string_literals;
using SteadyClock = std::chrono::steady_clock;

// Runs the program with its output thrown away; its process id.
pid_t Launch(const std::vector<std::string>& arguments) {
  std::vector<char*> argv{const_cast<char*>(GORVANE_BOT_BINARY)};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
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

TEST(BotProgram, ExitCodesSayWhatWentWrong) {
  EXPECT_EQ(ExitCode(Launch({"--create", "--join-any"})), 2) << "not a command line";
  EXPECT_EQ(ExitCode(Launch({"--host", "127.0.0.84", "--create"})), 1) << "nobody listening";
}

TEST(BotProgram, SaysGoodbyeOnSigtermAndEnds) {
  testing::ScriptedPeer peer("127.0.0.83", {"S_CONNECT,6,hi\0S_GREETING,6,bot\0"s});
  ASSERT_TRUE(peer.bound());
  const pid_t pid = Launch({"--host", "127.0.0.83", "--name", "bot", "--join-any"});
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

}  // namespace
}  // namespace gorvane::bot
