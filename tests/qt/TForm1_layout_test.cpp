// SPDX-License-Identifier: GPL-3.0-or-later
// The lobby window and the settings dialog as a player sees them,
// offscreen: sizes, positions, captions that show whole, rows cut at the edge.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMenuBar>
#include <QScreen>

#include "offscreen_lobby.h"
#include "qt/TPropertyForm.h"
#include "qt/qt_text.h"
#include "view_checks.h"

namespace gorvane {
namespace {

using namespace std::string_literals;
using testing::CutAtTheEdge;
using testing::ExpectCaptionFits;

QSize Outer(const QMainWindow& window, QSize size) {
  return size + kWindowFrame - QSize(0, window.menuBar()->sizeHint().height());
}

TEST(LobbyWindowLayout, OuterSizesControlsAndRowsAsTheLayoutDrawsThem) {
  testing::OffscreenLobby seat("lobby_layout");
  TForm1& form = seat.form;
  form.show();
  QApplication::processEvents();

  // Outer sizes; the stretching controls are as wide as drawn, not wider.
  EXPECT_EQ(Outer(form, form.size()), QSize(368, 576));
  EXPECT_EQ(Outer(form, form.minimumSize()), QSize(368, 507));
  EXPECT_EQ(form.RichEdit1->geometry(), QRect(0, 0, 361, 241));
  EXPECT_EQ(form.Memo2->size(), QSize(361, 72));
  EXPECT_EQ(form.Memo2->geometry().bottom() + 1, form.panel->height()) << "the debug log ends the window";
  EXPECT_EQ(form.Edit2->width(), 361);
  EXPECT_EQ(form.ListBox2->geometry().right() + 1, 361);
  for (const QLabel* label : {form.Label3, form.Label4, form.Label1}) ExpectCaptionFits(*label);

  // Long rows of both lists show from their start and are cut at the edge,
  // between short rows (whose width the list may take for every row): a user
  // with a long name, and the party that user leads.
  const auto nameUser = [&](const QString& name) {
    form.lobby().ClientSocket1Read("S_LIST,1:A:0,2:" + FromQString(name).value() + ":0,3:B:0" + '\0');
  };
  EXPECT_TRUE(CutAtTheEdge(*form.ListBox1->viewport(), form.ListBox1->font(), nameUser, "2: "));
  const auto nameLeader = [&](const QString& name) {
    nameUser(name);
    form.lobby().ClientSocket1Read("S_GLIST,1:1:1:0,2:2:1:0,3:3:1:0\0"s);
  };
  EXPECT_TRUE(CutAtTheEdge(*form.ListBox2->viewport(), form.ListBox2->font(), nameLeader,
                           QStringLiteral("2: リーダー ")));
  EXPECT_EQ(form.ListBox1->model()->rowCount(), 3);
  EXPECT_EQ(form.ListBox2->model()->rowCount(), 3);
  EXPECT_TRUE(seat.errors.shown.empty());
}

TEST(SettingsDialogLayout, CentredOnTheScreenWithEveryCaptionWhole) {
  testing::OffscreenLobby seat("dialog_layout");
  TForm1& lobby = seat.form;
  lobby.show();
  lobby.move(0, 0);  // the lobby away from the middle of the screen
  QApplication::processEvents();

  TPropertyForm dialog(lobby.lobby(), &lobby);
  dialog.show();
  QApplication::processEvents();
  EXPECT_EQ(dialog.frameGeometry().center(), dialog.screen()->availableGeometry().center());
  EXPECT_NE(dialog.frameGeometry().center(), lobby.frameGeometry().center());

  for (const QPushButton* button : {dialog.ButtonCancel, dialog.ButtonOK}) ExpectCaptionFits(*button);
  for (const QLabel* label : {dialog.Label1, dialog.Label2, dialog.Label5, dialog.Label6, dialog.Label4}) {
    ExpectCaptionFits(*label);
  }
  // Each line of the tips keeps its line break: it shows whole beside the
  // scroll bar.
  const int room =
      dialog.Memo1->viewport()->width() - 2 * static_cast<int>(dialog.Memo1->document()->documentMargin());
  for (const QString& line : dialog.Memo1->toPlainText().split('\n')) {
    EXPECT_LE(testing::DrawnWidth(dialog.Memo1->font(), line), room) << line.toStdString();
  }
  dialog.reject();
}

}  // namespace
}  // namespace gorvane
