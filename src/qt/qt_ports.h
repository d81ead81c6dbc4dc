// SPDX-License-Identifier: GPL-3.0-or-later
// Qt implementations of the small ports: the modal error box and the pause.
#pragma once

#include <QWidget>

#include "spine/ports.h"

namespace gorvane {

class MessageErrorBox : public ErrorBox {
 public:
  explicit MessageErrorBox(QWidget* parent) : parent_(parent) {}
  void ShowError(std::string_view cp932Text) override;

 private:
  QWidget* parent_;
};

// Blocks the user-interface thread: no message is handled and nothing is
// sent until it returns.
class BlockingPause : public Pause {
 public:
  void Wait(int milliseconds) override;
};

}  // namespace gorvane
