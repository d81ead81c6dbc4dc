// SPDX-License-Identifier: GPL-3.0-or-later
// The real lobby window against a scripted server on loopback.
#include "qt/TForm1.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "../spine/fakes.h"

namespace gorvane {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::string_literals;

// Accepts one client on 127.0.0.2:21012 in its own thread, so that arrival
// times are real even while the client's thread is paused.
class ScriptedServer {
 public:
  struct Command {
    std::string text;
    Clock::time_point at;
  };

  ScriptedServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(21012);
    ::inet_pton(AF_INET, "127.0.0.2", &address.sin_addr);
    bound_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
             ::listen(listener_, 1) == 0;
    if (bound_) thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    if (thread_.joinable()) thread_.join();
  }
  bool bound() const { return bound_; }
  std::vector<Command> commands() {
    std::lock_guard lock(mutex_);
    return commands_;
  }
  // When the greeting went out: the client's pause after it is measured from
  // here, since a loaded machine may stamp an arrival late but never early.
  Clock::time_point greetedAt() {
    std::lock_guard lock(mutex_);
    return greetedAt_;
  }

 private:
  void Run() {
    timeval timeout{5, 0};
    ::setsockopt(listener_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    Send(client, "S_CONNECT,5,Welcome\0"s);
    std::string pending;
    char buffer[4096];
    while (!stop_) {
      const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      const auto now = Clock::now();
      pending.append(buffer, static_cast<size_t>(n));
      for (size_t nul; (nul = pending.find('\0')) != std::string::npos; pending.erase(0, nul + 1)) {
        const std::string text = pending.substr(0, nul);
        {
          std::lock_guard lock(mutex_);
          commands_.push_back({text, now});
        }
        if (text.rfind("G_JOIN ", 0) == 0) {
          {
            std::lock_guard lock(mutex_);
            greetedAt_ = Clock::now();
          }
          Send(client, "S_GREETING,5,Tester\0"s);
        }
        if (text.rfind("G_LOGIN ", 0) == 0) Send(client, "S_CREATE,5,1\0"s);
        if (text.rfind("G_BYE ", 0) == 0) Send(client, "S_BYE\0"s);
      }
    }
    ::close(client);
  }
  static void Send(int socket, const std::string& bytes) {
    ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }

  int listener_ = -1;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Command> commands_;
  Clock::time_point greetedAt_{};
};

template <typename Done>
bool WaitFor(Done done, int milliseconds = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > milliseconds) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

TEST(LobbyWindow, JoinsListsAndLogsInOverLoopback) {
  const fs::path dir = fs::temp_directory_path() / ("gorvane_tform1_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::ofstream(dir / "tvr1.ini", std::ios::binary)
      << "[Global]\r\nName=Tester\r\nAddress=127.0.0.2\r\n[Login]\r\nID=alice\r\nPassword=secret\r\n";
  std::ofstream(dir / "longcardlist.txt", std::ios::binary) << "g001 L Road 0 0 10\r\n";
  const fs::path previous = fs::current_path();
  fs::current_path(dir);

  ScriptedServer server;
  ASSERT_TRUE(server.bound());
  testing::FakeErrorBox errors;
  {
    TForm1 lobby(&errors);
    lobby.show();
    EXPECT_EQ(lobby.Label2->text(), "Tester @ 127.0.0.2");
    EXPECT_TRUE(lobby.S1->isEnabled());
    EXPECT_FALSE(lobby.C1->isEnabled());
    EXPECT_FALSE(lobby.L1->isEnabled());

    lobby.S1->trigger();
    EXPECT_FALSE(lobby.S1->isEnabled());
    EXPECT_TRUE(lobby.C1->isEnabled());
    // The party made after the login opens its window, which asks for its roster.
    ASSERT_TRUE(WaitFor([&] { return server.commands().size() >= 7; }))
        << "commands seen: " << server.commands().size();
    const auto commands = server.commands();
    ASSERT_EQ(commands.size(), 7u);
    EXPECT_EQ(commands[0].text, "G_JOIN 5 Tester");
    EXPECT_EQ(commands[1].text, "G_LIST 5 *");
    EXPECT_EQ(commands[2].text, "G_PLIST 5 *");
    EXPECT_EQ(commands[3].text, "G_LOGIN 5 alice secret");
    EXPECT_GE(commands[2].at - server.greetedAt(), std::chrono::milliseconds(300));
    EXPECT_EQ(commands[4].text, "G_LIST 5 *");
    EXPECT_EQ(commands[5].text, "G_PLIST 5 *");
    EXPECT_EQ(commands[6].text, "P_LIST 5 *");
    EXPECT_TRUE(errors.shown.empty());
    EXPECT_TRUE(lobby.RichEdit1->toPlainText().contains(QStringLiteral("SYS: Welcome")));
    // On the wire the password; on screen, never.
    EXPECT_TRUE(lobby.Memo2->toPlainText().contains(QStringLiteral("DEBUG: SEND: G_LOGIN 5 alice ********")));
    EXPECT_FALSE(lobby.Memo2->toPlainText().contains(QStringLiteral("secret")));

    // Goodbye: the server answers and the menus go offline.
    lobby.C1->trigger();
    ASSERT_TRUE(WaitFor([&] { return lobby.S1->isEnabled(); }));
    lobby.close();
  }
  // The game window went with the lobby without a goodbye of its own.
  for (const auto& command : server.commands()) EXPECT_NE(command.text.rfind("P_BYE", 0), 0u) << command.text;
  // Closing the window saved the profile.
  std::ifstream in(dir / "tvr1.ini", std::ios::binary);
  const std::string saved(std::istreambuf_iterator<char>(in), {});
  EXPECT_NE(saved.find("Name=Tester"), std::string::npos);
  EXPECT_NE(saved.find("ID=alice"), std::string::npos);
  fs::current_path(previous);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace gorvane
