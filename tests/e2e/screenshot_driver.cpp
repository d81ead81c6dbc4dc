// SPDX-License-Identifier: GPL-3.0-or-later
// Drives the real lobby and game windows, in the play folder that
// scripts/screenshots prepares, to a game in progress against the local
// server and its two headless companions; then says which X windows to
// photograph ("lobby ID", "game ID") and keeps them up until it is stopped.
#include <QApplication>
#include <QTest>
#include <cstdio>

#include "qt/TForm1.h"
#include "qt/TForm2.h"
#include "qt/THelpForm.h"
#include "spine/sjis.h"
#include "window_seat.h"

namespace {

using namespace gorvane;
using e2e::WaitFor;

constexpr int kPatienceMs = 120000;

int Fail(const char* what) {
  std::fprintf(stderr, "screenshot_driver: %s\n", what);
  return 1;
}

// A line entered into a chat line (as an input method does) and sent with
// Enter, as the player does.
void Say(QLineEdit& line, const QString& text) {
  line.insert(text);
  QTest::keyClick(&line, Qt::Key_Return);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Gorvane 1: Client"));
  TForm1 lobby;
  THelpForm help;
  lobby.SetHelpForm(&help);
  lobby.show();
  lobby.move(0, 0);

  lobby.S1->trigger();
  // Both companions are in the lobby's user list with the player.
  if (!WaitFor([&] { return lobby.P1->isEnabled() && lobby.ListBox1->model()->rowCount() >= 3; },
               kPatienceMs)) {
    return Fail("the lobby did not fill (is the server up, tvr1.ini pointing at it?)");
  }
  Say(*lobby.Edit2, QStringLiteral("こんにちは！ パーティを作ります．"));
  lobby.P1->trigger();
  TForm2* window = nullptr;
  if (!WaitFor(
          [&] {
            const auto windows = lobby.findChildren<TForm2*>();
            window = windows.isEmpty() ? nullptr : windows.back();
            return window != nullptr && window->MemberList->topLevelItemCount() == 3;
          },
          kPatienceMs)) {
    return Fail("the companions did not join the party");
  }
  window->move(lobby.frameGeometry().right() + 8, 0);
  Say(*window->Edit1, QStringLiteral("よろしくお願いします．"));
  window->S1->trigger();

  // A few turns in, in the middle of the player's own turn: the corridor,
  // the monsters and a hand with a card drawn.
  e2e::WindowSeat seat(lobby, *window);
  const auto ownTurns = [&] {
    return window->RichEdit1->toPlainText().count(QStringLiteral("SYS: あなたの手番です！"));
  };
  if (!WaitFor(
          [&] {
            if (ownTurns() >= 3 && !window->Button1->isEnabled() && window->Button2->isEnabled()) return true;
            seat.Step();
            return false;
          },
          kPatienceMs)) {
    return Fail("the game did not get to the player's third turn");
  }
  QApplication::processEvents();
  std::printf("lobby %llu\ngame %llu\n", static_cast<unsigned long long>(lobby.winId()),
              static_cast<unsigned long long>(window->winId()));
  std::fflush(stdout);
  return QApplication::exec();
}
