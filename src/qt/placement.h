// Windows centred on their screen by the frame the window manager gives
// them, which is known only once a window is on screen.
#pragma once

#include <QMargins>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QWidget>

namespace gorvane {

// Where the frame of a window whose client area has clientSize goes so that
// the whole window, frame and all, is centred on area.
QPoint CentredFramePosition(const QRect& area, QSize clientSize, const QMargins& frame);

// Centres window on its screen whenever it is shown, by the frame known
// then, and once more on its first exposure when the window manager's frame
// turned out different, unless the window was moved in between. Only the
// position changes.
void CentreOnScreenByFrame(QWidget& window);

}  // namespace gorvane
