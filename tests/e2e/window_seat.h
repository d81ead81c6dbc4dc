// SPDX-License-Identifier: GPL-3.0-or-later
// The user's chair at the real game window: it follows what the lobby's
// debug log shows sent and received, asks the turn planner for the next
// click and makes it with the mouse, as a user does. Shared by the windows'
// end-to-end test and the screenshot driver.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <optional>
#include <string>
#include <vector>

#include "bot/answer_wait.h"
#include "bot/turn_planner.h"
#include "qt/TForm1.h"
#include "qt/TForm2.h"

namespace gorvane::e2e {

// Runs the window loop until done() holds or the time is up; whether it held.
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

class WindowSeat {
 public:
  WindowSeat(TForm1& lobby, TForm2& window);
  // One look at the window and at most one click: the button clicked, if any.
  std::optional<bot::Button> Step();
  // Clicks the planner wanted on a button the window had disabled.
  int disabledClicks() const { return disabledClicks_; }

 private:
  // The debug log's lines since the last look.
  std::vector<std::string> NewLogLines();
  void Follow();

  TForm1& lobby_;
  TForm2& window_;
  int32_t me_;
  bot::TurnPlanner planner_;
  bot::AnswerWait wait_;
  size_t nextLogLine_ = 0;
  int disabledClicks_ = 0;
};

}  // namespace gorvane::e2e
