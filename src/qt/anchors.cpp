// SPDX-License-Identifier: GPL-3.0-or-later
#include "qt/anchors.h"

#include <QMenuBar>
#include <QResizeEvent>

namespace gorvane {

AnchorPanel::AnchorPanel(QSize designSize, QWidget* parent) : QWidget(parent), design_(designSize) {
  resize(designSize);
}

void AnchorPanel::Place(QWidget& widget, QRect geometry, unsigned anchors) {
  items_.push_back({&widget, geometry, anchors});
  widget.setGeometry(geometry);
}

void AnchorPanel::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int dx = width() - design_.width();
  const int dy = height() - design_.height();
  for (const Item& item : items_) {
    QRect g = item.geometry;
    // Anchored to both sides: stretch. To the far side only: move.
    if (item.anchors & kRight) {
      if (item.anchors & kLeft) {
        g.setWidth(g.width() + dx);
      } else {
        g.moveLeft(g.left() + dx);
      }
    }
    if (item.anchors & kBottom) {
      if (item.anchors & kTop) {
        g.setHeight(g.height() + dy);
      } else {
        g.moveTop(g.top() + dy);
      }
    }
    item.widget->setGeometry(g);
  }
}

void SetOuterSizes(QMainWindow& window, QSize outer, QSize outerMinimum) {
  const QSize menu(0, window.menuBar()->sizeHint().height());
  window.setMinimumSize(outerMinimum - kWindowFrame + menu);
  window.resize(outer - kWindowFrame + menu);
}

}  // namespace gorvane
