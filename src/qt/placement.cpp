#include "qt/placement.h"

#include <QEvent>
#include <QScreen>
#include <QWindow>

namespace gorvane {
namespace {

// The frame as the native window has it from the window manager; the
// widget's own record of it lags behind until the window next moves.
QMargins FrameOf(const QWidget& window) {
  const QWindow* native = window.windowHandle();
  return native != nullptr ? native->frameMargins() : QMargins();
}

// Watches the window for its showing, and its native window for the first
// exposure, by which time a window manager has put its frame around it.
class FrameCentring : public QObject {
 public:
  explicit FrameCentring(QWidget& window) : QObject(&window), window_(window) {
    window.installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    QWindow* native = window_.windowHandle();
    if (watched == &window_ && event->type() == QEvent::Show) {
      Centre();
      if (native != nullptr) {
        native->removeEventFilter(this);
        native->installEventFilter(this);
        awaitingExposure_ = true;
      }
    } else if (awaitingExposure_ && watched == native && event->type() == QEvent::Expose &&
               native->isExposed()) {
      awaitingExposure_ = false;
      native->removeEventFilter(this);
      // A move by the program or the user since is theirs to keep.
      if (window_.geometry().topLeft() == placed_ && FrameOf(window_) != frame_) Centre();
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  // Places the client area, which is where the frame's corner is only once
  // the frame is known.
  void Centre() {
    const QScreen* screen = window_.screen();
    if (screen == nullptr) return;
    frame_ = FrameOf(window_);
    placed_ = CentredFramePosition(screen->availableGeometry(), window_.size(), frame_) +
              QPoint(frame_.left(), frame_.top());
    window_.setGeometry(QRect(placed_, window_.size()));
  }

  QWidget& window_;
  QMargins frame_;
  QPoint placed_;
  bool awaitingExposure_ = false;
};

}  // namespace

QPoint CentredFramePosition(const QRect& area, QSize clientSize, const QMargins& frame) {
  return area.center() - QRect(QPoint(), clientSize.grownBy(frame)).center();
}

void CentreOnScreenByFrame(QWidget& window) { new FrameCentring(window); }

}  // namespace gorvane
