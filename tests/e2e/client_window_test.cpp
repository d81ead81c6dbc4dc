// SPDX-License-Identifier: GPL-3.0-or-later
// The real lobby and game windows (offscreen) against the real server: the
// test connects, makes a party that two headless players join, and plays a
// whole game by selecting hand rows and clicking the window's buttons.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "../spine/fakes.h"
#include "bot/turn_planner.h"
#include "e2e_support.h"
#include "qt/TForm1.h"
#include "qt/TForm2.h"
#include "spine/sjis.h"
#include "window_seat.h"

namespace gorvane::e2e {
namespace {

namespace fs = std::filesystem;
using bot::Button;

constexpr const char* kAddress = "127.0.0.70";

// The server and the two headless players, on a thread of their own: the
// window's thread blocks in the lobby's pauses as the real client does.
class Companions {
 public:
  Companions() : server_(kAddress, 5) {
    for (const char* name : {"Bot1", "Bot2"}) {
      players_.push_back(std::make_unique<bot::HeadlessPlayer>(PlayerAt(kAddress, name, bot::Mode::kJoinAny),
                                                               bot::HeadlessPlayer::LineSink{}));
    }
    thread_ = std::thread([this] {
      for (auto& player : players_) player->Start();
      while (!stop_) {
        server_.server().RunOnce(2);
        for (auto& player : players_) player->Poll(0);
      }
    });
  }
  ~Companions() {
    stop_ = true;
    thread_.join();
  }
  // Only once the thread has ended.
  const std::vector<std::string>& serverLog() const { return server_.log(); }

 private:
  LocalServer server_;
  std::vector<std::unique_ptr<bot::HeadlessPlayer>> players_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Runs its action when the scope is left, however it is left.
class ScopeExit {
 public:
  explicit ScopeExit(std::function<void()> action) : action_(std::move(action)) {}
  ~ScopeExit() { action_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  std::function<void()> action_;
};

TEST(ClientWindows, PlayAWholeGameWithTwoHeadlessCompanions) {
  const fs::path dir = fs::temp_directory_path() / ("gorvane_e2e_windows_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::ofstream(dir / "tvr1.ini", std::ios::binary)
      << "[Global]\r\nName=" << sjis::Text("勇者") << "\r\nAddress=" << kAddress << "\r\n";
  fs::copy_file(CardListPath(), dir / "longcardlist.txt");
  const fs::path previous = fs::current_path();
  fs::current_path(dir);
  // However the test ends, a failed assertion included, the next test runs
  // where it started and nothing of this one is left behind.
  const ScopeExit restore([&] {
    fs::current_path(previous);
    fs::remove_all(dir);
  });

  std::optional<Companions> companions(std::in_place);
  testing::FakeErrorBox errors;
  std::map<Button, int> clicks;
  {
    TForm1 lobby(&errors);
    // The lobby is closed as the user closes it, however the test ends, so
    // the server hears the goodbye.
    const ScopeExit closeLobby([&] { lobby.close(); });
    lobby.show();
    lobby.S1->trigger();
    ASSERT_TRUE(
        WaitFor([&] { return lobby.P1->isEnabled() && lobby.ListBox1->model()->rowCount() >= 1; }, 5000));
    ASSERT_TRUE(WaitFor([&] { return lobby.lobby().myId() != 0; }, 5000));
    lobby.P1->trigger();
    TForm2* window = nullptr;
    ASSERT_TRUE(WaitFor(
        [&] {
          const auto windows = lobby.findChildren<TForm2*>();
          window = windows.isEmpty() ? nullptr : windows.back();
          return window != nullptr && window->MemberList->topLevelItemCount() == 3;
        },
        10000));
    ASSERT_TRUE(window->S1->isEnabled());
    window->S1->trigger();

    WindowSeat seat(lobby, *window);
    auto finished = [&] {
      return window->RichEdit1->toPlainText().contains(QStringLiteral("SYS: 結果は以上です．"));
    };
    QElapsedTimer timer;
    timer.start();
    while (!finished() && timer.elapsed() < 60000) {
      QApplication::processEvents(QEventLoop::AllEvents, 5);
      if (const auto clicked = seat.Step()) ++clicks[*clicked];
    }
    ASSERT_TRUE(finished()) << "no result within a minute";

    const QString game = window->RichEdit1->toPlainText();
    EXPECT_TRUE(game.contains(QStringLiteral("SYS: あなたの手番です！")));
    EXPECT_TRUE(game.contains(QStringLiteral("SYS: 結果発表！！")));
    EXPECT_EQ(game.count(QStringLiteral("SYS: 第")), 3);
    for (const QString& name : {QStringLiteral("勇者"), QStringLiteral("Bot1"), QStringLiteral("Bot2")}) {
      EXPECT_EQ(game.count(QStringLiteral("位: ") + name + QStringLiteral("さん (")), 1)
          << name.toStdString();
    }
    // The results reset the window for the next game.
    EXPECT_TRUE(window->S1->isEnabled());
    for (QPushButton* button : {window->Button1, window->Button2, window->Button3, window->Button4}) {
      EXPECT_FALSE(button->isEnabled());
    }
    const QString lobbyLines = lobby.RichEdit1->toPlainText();
    EXPECT_TRUE(lobbyLines.contains(QStringLiteral("SYS: グループの作成に成功しました")));
    EXPECT_TRUE(lobbyLines.contains(QStringLiteral("SYS: Bot1さんが 1番パーティに参加しました．")));
    EXPECT_TRUE(lobbyLines.contains(QStringLiteral("SYS: Bot2さんが 1番パーティに参加しました．")));
    EXPECT_TRUE(errors.shown.empty());
    EXPECT_EQ(seat.disabledClicks(), 0) << "the planner wanted a button the window had disabled";
    EXPECT_GT(clicks[Button::kDraw], 0);
    EXPECT_GT(clicks[Button::kPlay], 0);
    EXPECT_GT(clicks[Button::kTurnEnd], 0);
  }
  companions.reset();
}

}  // namespace
}  // namespace gorvane::e2e
