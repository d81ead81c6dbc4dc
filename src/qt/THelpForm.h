// SPDX-License-Identifier: GPL-3.0-or-later
// The help window: a fixed, read-only usage text, shown without blocking.
#pragma once

#include <QPlainTextEdit>
#include <QWidget>

namespace gorvane {

class THelpForm : public QWidget {
 public:
  explicit THelpForm(QWidget* parent = nullptr);
  // Shows the window, or brings it to the front when it is already shown.
  void ShowOrRaise();

  QPlainTextEdit* Memo1;
};

}  // namespace gorvane
