// Windows centred on the screen by the frame they get, frame and all.
#include "qt/placement.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QScreen>

#include "offscreen_lobby.h"

namespace gorvane {
namespace {

TEST(Placement, CentresTheWholeWindowWhateverItsFrame) {
  const QSize client(360, 546);
  const QRect areas[] = {QRect(0, 0, 1024, 768), QRect(1920, 24, 1279, 999)};
  // No frame yet, a thin one with a caption, a thick one, a lopsided one.
  const QMargins frames[] = {{0, 0, 0, 0}, {1, 23, 1, 1}, {4, 30, 4, 4}, {10, 40, 2, 31}};
  for (const QRect& area : areas) {
    for (const QMargins& frame : frames) {
      const QRect outer(CentredFramePosition(area, client, frame), client.grownBy(frame));
      EXPECT_EQ(outer.center(), area.center()) << area.x() << " " << frame.top() << " " << frame.bottom();
      EXPECT_EQ(outer.marginsRemoved(frame).size(), client);
    }
  }
}

TEST(Placement, TheLobbyIsCentredFrameAndAllAndKeepsItsSize) {
  testing::OffscreenLobby seat("placement");
  TForm1& lobby = seat.form;
  const QSize size = lobby.size();
  lobby.show();
  QApplication::processEvents();
  EXPECT_EQ(lobby.frameGeometry().center(), lobby.screen()->availableGeometry().center());
  EXPECT_EQ(lobby.size(), size);
}

}  // namespace
}  // namespace gorvane
