// SPDX-License-Identifier: GPL-3.0-or-later
// Fixed pixel layouts whose controls keep their distance to the anchored
// edges of their parent when it is resized.
#pragma once

#include <QMainWindow>
#include <QRect>
#include <QSize>
#include <QWidget>
#include <vector>

namespace gorvane {

enum Anchor : unsigned { kLeft = 1, kTop = 2, kRight = 4, kBottom = 8 };

// A panel whose children were placed for designSize and follow its resizing.
class AnchorPanel : public QWidget {
 public:
  AnchorPanel(QSize designSize, QWidget* parent);
  void Place(QWidget& widget, QRect geometry, unsigned anchors);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct Item {
    QWidget* widget;
    QRect geometry;
    unsigned anchors;
  };
  QSize design_;
  std::vector<Item> items_;
};

// The frame, caption and menu bar around the client area on the desktop the
// layouts were drawn for. Window sizes are given outer, with that frame.
inline constexpr QSize kWindowFrame(8, 54);

// Gives a main window the outer size and minimum outer size of its layout:
// its client area below its own menu bar is the outer size less the frame.
void SetOuterSizes(QMainWindow& window, QSize outer, QSize outerMinimum);

}  // namespace gorvane
