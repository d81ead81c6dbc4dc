// SPDX-License-Identifier: GPL-3.0-or-later
#include "window_seat.h"

#include <QTest>
#include <algorithm>

namespace gorvane::e2e {
namespace {

void ClickRow(QAbstractItemView& view, const QModelIndex& index) {
  view.scrollTo(index);
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, view.visualRect(index).center());
}

}  // namespace

WindowSeat::WindowSeat(TForm1& lobby, TForm2& window)
    : lobby_(lobby), window_(window), me_(lobby.lobby().myId()), planner_(lobby.lobby().cardCatalogue()) {}

std::vector<std::string> WindowSeat::NewLogLines() {
  std::vector<std::string> lines;
  const ConsoleLines& log = lobby_.Memo2->lines();
  for (; nextLogLine_ < log.size(); ++nextLogLine_) lines.emplace_back(log.Text(nextLogLine_));
  return lines;
}

void WindowSeat::Follow() {
  for (const std::string& line : NewLogLines()) {
    if (line.rfind("DEBUG: SEND: ", 0) == 0) {
      wait_.Sent(line.substr(13));
    } else if (line.rfind("DEBUG: ", 0) == 0) {
      const std::string message = line.substr(7);
      wait_.Received(message, me_);
      planner_.Observe(message, window_.room(), me_);
    }
  }
}

std::optional<bot::Button> WindowSeat::Step() {
  Follow();
  if (wait_.waiting()) return std::nullopt;
  const auto click = planner_.Next(window_.room(), me_);
  if (!click) return std::nullopt;
  for (int row = 0; row < window_.HandList->count(); ++row) {
    const bool wanted =
        std::find(click->handRows.begin(), click->handRows.end(), row) != click->handRows.end();
    if (window_.HandList->item(row)->isSelected() != wanted) {
      ClickRow(*window_.HandList, window_.HandList->model()->index(row, 0));
    }
  }
  if (click->memberRow) {
    ClickRow(*window_.MemberList, window_.MemberList->model()->index(static_cast<int>(*click->memberRow), 1));
  }
  if (click->charmBox && window_.CharmBox->count() > 0) {
    ClickRow(*window_.CharmBox, window_.CharmBox->model()->index(0, 0));
  } else {
    window_.CharmBox->clearSelection();
  }
  QPushButton* button = click->button == bot::Button::kDraw   ? window_.Button1
                        : click->button == bot::Button::kPlay ? window_.Button3
                        : click->button == bot::Button::kPile ? window_.Button4
                                                              : window_.Button2;
  if (!button->isEnabled()) ++disabledClicks_;
  const size_t before = lobby_.Memo2->lines().size();
  QTest::mouseClick(button, Qt::LeftButton);
  Follow();
  planner_.Clicked(*click, lobby_.Memo2->lines().size() > before);
  return click->button;
}

}  // namespace gorvane::e2e
