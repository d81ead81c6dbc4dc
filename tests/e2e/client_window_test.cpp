// The real lobby and game windows (offscreen) against the real server: the
// test connects, makes a party that two headless players join, and plays a
// whole game by selecting hand rows and clicking the window's buttons.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTextBlock>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "../core/fakes.h"
#include "bot/answer_wait.h"
#include "bot/turn_planner.h"
#include "core/qt_text.h"
#include "core/sjis.h"
#include "e2e_support.h"
#include "game/TForm2.h"
#include "lobby/TForm1.h"

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

template <typename Done>
bool WaitFor(Done done, int milliseconds) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > milliseconds) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

// The debug log's lines since the last look: what was sent and received.
class LogReader {
 public:
  explicit LogReader(QPlainTextEdit& log) : log_(log) {}
  std::vector<std::string> NewLines() {
    std::vector<std::string> lines;
    const QTextDocument& document = *log_.document();
    for (; next_ < document.blockCount(); ++next_) {
      lines.push_back(FromQString(document.findBlockByNumber(next_).text()).value_or(""));
    }
    return lines;
  }

 private:
  QPlainTextEdit& log_;
  int next_ = 0;
};

void ClickRow(QAbstractItemView& view, const QModelIndex& index) {
  view.scrollTo(index);
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, view.visualRect(index).center());
}

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
    // The lobby is closed as the user closes it before it goes: a window
    // destroyed while connected would still be told of the disconnect.
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

    const int32_t me = lobby.lobby().myId();
    bot::TurnPlanner planner(lobby.lobby().cardCatalogue());
    bot::AnswerWait wait;
    LogReader log(*lobby.Memo2);
    const auto sent = [&](const std::string& line) { return line.rfind("DEBUG: SEND: ", 0) == 0; };
    auto follow = [&] {
      for (const std::string& line : log.NewLines()) {
        if (sent(line)) {
          wait.Sent(line.substr(13));
        } else if (line.rfind("DEBUG: ", 0) == 0) {
          const std::string message = line.substr(7);
          wait.Received(message, me);
          planner.Observe(message, window->room(), me);
        }
      }
    };
    auto finished = [&] {
      return window->RichEdit1->toPlainText().contains(QStringLiteral("SYS: 結果は以上です．"));
    };
    QElapsedTimer timer;
    timer.start();
    while (!finished() && timer.elapsed() < 60000) {
      QApplication::processEvents(QEventLoop::AllEvents, 5);
      follow();
      if (wait.waiting()) continue;
      const auto click = planner.Next(window->room(), me);
      if (!click) continue;
      for (int row = 0; row < window->HandList->count(); ++row) {
        const bool wanted =
            std::find(click->handRows.begin(), click->handRows.end(), row) != click->handRows.end();
        if (window->HandList->item(row)->isSelected() != wanted) {
          ClickRow(*window->HandList, window->HandList->model()->index(row, 0));
        }
      }
      if (click->memberRow) {
        ClickRow(*window->MemberList,
                 window->MemberList->model()->index(static_cast<int>(*click->memberRow), 1));
      }
      if (click->charmBox && window->CharmBox->count() > 0) {
        ClickRow(*window->CharmBox, window->CharmBox->model()->index(0, 0));
      } else {
        window->CharmBox->clearSelection();
      }
      QPushButton* button = click->button == Button::kDraw   ? window->Button1
                            : click->button == Button::kPlay ? window->Button3
                            : click->button == Button::kPile ? window->Button4
                                                             : window->Button2;
      ASSERT_TRUE(button->isEnabled());
      const int before = lobby.Memo2->document()->blockCount();
      QTest::mouseClick(button, Qt::LeftButton);
      follow();
      const bool commandSent = lobby.Memo2->document()->blockCount() > before;
      planner.Clicked(*click, commandSent);
      ++clicks[click->button];
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
    EXPECT_GT(clicks[Button::kDraw], 0);
    EXPECT_GT(clicks[Button::kPlay], 0);
    EXPECT_GT(clicks[Button::kTurnEnd], 0);
  }
  companions.reset();
}

}  // namespace
}  // namespace gorvane::e2e
