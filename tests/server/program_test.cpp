// SPDX-License-Identifier: GPL-3.0-or-later
// The gorvane-server program itself: its command line, and a stop by
// signal that says goodbye and keeps every account for the next start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "server/store/accounts.h"
#include "spine/codec.h"
#include "spine/fields.h"
#include "support/server/loopback.h"

extern char** environ;

namespace gorvane::testing {
namespace {

using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

// gorvane-server with the arguments, its standard output and error read
// through pipes.
class Program {
 public:
  explicit Program(const Strings& arguments) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<std::string> all{GORVANE_SERVER_BINARY};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Program() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (const int fd : {out_, err_}) {
      if (fd >= 0) ::close(fd);
    }
  }

  // Reads what the program writes until it has exited or the time is up;
  // its exit status, -1 when it did not exit.
  int Wait(std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      ReadSome(10);
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        ReadSome(0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
    }
    return -1;
  }
  // Reads standard error until a line holds the text; that line.
  std::optional<std::string> WaitForLine(std::string_view text, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      for (const std::string& line : Lines(error)) {
        if (line.find(text) != std::string::npos) return line;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      ReadSome(10);
    }
  }
  void Signal(int number) const { ::kill(pid_, number); }

  static Strings Lines(const std::string& text) {
    Strings lines;
    for (size_t start = 0; start < text.size();) {
      const size_t end = text.find('\n', start);
      lines.push_back(text.substr(start, end - start));
      start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
  }

  std::string output;
  std::string error;

 private:
  void ReadSome(int timeoutMs) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0) return;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) (i == 0 ? output : error).append(buffer, static_cast<size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool exited_ = false;
};

TEST(Program, HelpVersionAndBadArguments) {
  struct Case {
    Strings arguments;
    int exit;
    const char* output;  // a part of standard output
    size_t errorLines;
  } const cases[] = {
      {{"--help"}, 0, "--turn-seconds N", 0},
      {{"--version"}, 0, "gorvane-server 0.5.0.86", 0},
      {{"--port", "2", "--help"}, 0, "usage: gorvane-server", 0},
      {{"--bogus"}, 2, "", 1},
      {{"--turn-seconds", "x"}, 2, "", 1},
      {{"--max-per-address", "0"}, 2, "", 1},
      {{"--listen", "localhost"}, 2, "", 1},
      {{"--port"}, 2, "", 1},
      {{"stray"}, 2, "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.front());
    Program program(c.arguments);
    EXPECT_EQ(program.Wait(), c.exit);
    EXPECT_NE(program.output.find(c.output), std::string::npos) << program.output;
    EXPECT_EQ(Program::Lines(program.error).size(), c.errorLines) << program.error;
  }
}

std::map<std::string, std::string> Info(RawClient& asker, const Pump& pump) {
  asker.inbox.clear();
  asker.Command("G_INFO", std::to_string(asker.id));
  pump([&] { return !asker.inbox.empty(); }, 5s);
  const Fields info = SplitCommaText(asker.inbox.empty() ? std::string() : asker.inbox.front());
  asker.inbox.clear();
  if (info.size() < 6) return {};
  return {{"login", info[3]}, {"prize", info[4]}, {"wins", info[5]}};
}

TEST(Program, StopsOnASignalWithAGoodbyeAndKeepsEveryAccount) {
  const std::filesystem::path db =
      std::filesystem::temp_directory_path() / ("gorvane-restart-" + std::to_string(getpid()) + ".db");
  std::filesystem::remove(db);
  {
    std::string error;
    const auto store = server::AccountStore::Open(db.string(), error);
    ASSERT_TRUE(store && store->SetPassword("alice", "open sesame", error)) << error;
    ASSERT_TRUE(store->AddResult("alice", 500, 2, error)) << error;
  }
  const std::string address = "127.0.0.27";
  const Strings arguments = {"--listen",  address,   "--port",       "0",      "--db",
                             db.string(), "--cards", CardListPath(), "--seed", "3"};
  CardCatalogue cards;
  LoadCards(cards);

  auto start = [&](Program& program) -> uint16_t {
    const auto line = program.WaitForLine("listening on " + address + ":");
    if (!line) return 0;
    return static_cast<uint16_t>(std::stoi(line->substr(line->rfind(':') + 1)));
  };
  Program first(arguments);
  const uint16_t port = start(first);
  ASSERT_NE(port, 0) << first.error;
  RawClient a;
  RawClient g;
  ASSERT_TRUE(a.Connect(address, port));
  ASSERT_TRUE(g.Connect(address, port));
  const Pump pump = ClientsOnly({&a, &g});
  ASSERT_TRUE(pump([&] { return a.id != 0 && g.id != 0; }, 5s));
  a.Command("G_JOIN", "Al");
  g.Command("G_JOIN", "Guest");
  a.Command("G_LOGIN", "alice open sesame");
  ASSERT_TRUE(
      pump([&] { return std::find(a.inbox.begin(), a.inbox.end(), "S_LOGIN") != a.inbox.end(); }, 5s));

  // One whole game counts; a game still running when the server stops
  // ends without results.
  auto startGame = [&](bool create) {
    a.inbox.clear();
    g.inbox.clear();
    if (create) {
      a.Command("P_CREATE");
      pump([&] { return !g.inbox.empty(); }, 5s);
      g.Command("P_JOIN", "1");
      g.Command("P_LIST");
      pump([&] { return a.inbox.size() >= 2 && !g.inbox.empty() && g.inbox.back().starts_with("S_PLIST,"); },
           5s);
    }
    Drain(a);
    Drain(g);
    a.Command("P_START");
  };
  startGame(true);
  const auto heard = PlayOut({&a, &g}, cards, pump);
  ASSERT_TRUE(heard);
  const Fields result = SplitCommaText(heard->at(a.id).back());
  std::map<int32_t, int64_t> amounts;
  for (size_t i = 1; i < result.size(); ++i) {
    const Fields item = SplitDelimitedText(result[i], ':');
    amounts[std::stoi(item.at(0))] = std::stoll(item.at(1));
  }
  const bool won = amounts[a.id] > 0 && amounts[a.id] >= amounts[g.id];
  const auto before = Info(a, pump);
  EXPECT_EQ(before.at("prize"), std::to_string(500 + amounts[a.id]));
  startGame(false);
  ASSERT_TRUE(pump([&] { return !g.inbox.empty(); }, 5s)) << "the second game began";

  first.Signal(SIGTERM);
  ASSERT_TRUE(pump([&] { return a.closed && g.closed; }, 5s));
  for (RawClient* client : {&a, &g}) {
    ASSERT_FALSE(client->inbox.empty());
    EXPECT_EQ(client->inbox.back(), "S_BYE");
    client->Close();
    EXPECT_EQ(std::count_if(client->inbox.begin(), client->inbox.end(),
                            [](const std::string& m) { return m.starts_with("S_RESULT"); }),
              0);
  }
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_TRUE(first.WaitForLine("database closed", 0ms)) << first.error;

  // The same database again: the account and its statistics are all there.
  Program second(arguments);
  const uint16_t again = start(second);
  ASSERT_NE(again, 0) << second.error;
  RawClient back;
  ASSERT_TRUE(back.Connect(address, again));
  const Pump pumpBack = ClientsOnly({&back});
  ASSERT_TRUE(pumpBack([&] { return back.id != 0; }, 5s));
  back.Command("G_JOIN", "Al");
  back.Command("G_LOGIN", "alice open sesame");
  ASSERT_TRUE(pumpBack(
      [&] { return std::find(back.inbox.begin(), back.inbox.end(), "S_LOGIN") != back.inbox.end(); }, 5s));
  const auto after = Info(back, pumpBack);
  EXPECT_EQ(after.at("login"), "alice");
  EXPECT_EQ(after.at("prize"), std::to_string(500 + amounts[a.id]));
  EXPECT_EQ(after.at("wins"), std::to_string(2 + (won ? 1 : 0)));
  second.Signal(SIGINT);
  EXPECT_EQ(second.Wait(), 0);
  std::filesystem::remove(db);
}

}  // namespace
}  // namespace gorvane::testing
