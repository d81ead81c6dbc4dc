// SPDX-License-Identifier: GPL-3.0-or-later
// A list box drawn from rows the logic owns. The rows arrive already in
// their order, so the view never sorts; all rows are one line high, so a
// rebuild costs only the rows on screen, however many there are.
#pragma once

#include <QListView>
#include <functional>

#include "client/list_box.h"

namespace gorvane {

class ListBoxView : public QListView, private ListBoxObserver {
 public:
  // rows must outlive the view or be let go of first with Detach.
  ListBoxView(ListBoxRows& rows, QWidget* parent);
  ~ListBoxView() override;

  // Stops drawing the rows: for an owner whose rows die before its widgets.
  void Detach();
  // Runs on a double click anywhere in the list, after the click's selection.
  void SetOnDoubleClick(std::function<void()> handler) { onDoubleClick_ = std::move(handler); }

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  class Model;

  void BeginReset() override;
  void EndReset() override;
  void BeginRemoveRow(size_t row) override;
  void EndRemoveRow() override;
  void SelectionCleared() override { ShowSelection(); }
  // The logic's selection onto the screen, and the user's back to the logic.
  void ShowSelection();
  void TakeSelection();

  ListBoxRows* rows_;
  Model* model_;
  bool changing_ = false;
  std::function<void()> onDoubleClick_;
};

}  // namespace gorvane
