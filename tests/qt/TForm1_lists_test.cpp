// SPDX-License-Identifier: GPL-3.0-or-later
// The lobby window's lists, chat line and Lobby menu, offscreen, with a fake
// connection that records what the window sends.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include "offscreen_lobby.h"
#include "qt/qt_text.h"
#include "spine/sjis.h"

namespace gorvane {
namespace {

using namespace std::string_literals;

QStringList Shown(const ListBoxView& view) {
  QStringList rows;
  for (int i = 0; i < view.model()->rowCount(); ++i) rows << view.model()->index(i, 0).data().toString();
  return rows;
}

QStringList Logic(const ListBoxRows& rows) {
  QStringList out;
  for (size_t i = 0; i < rows.size(); ++i) out << ToQString(rows.text(i));
  return out;
}

int ShownSelection(const ListBoxView& view) {
  const QModelIndexList selected = view.selectionModel()->selectedIndexes();
  return selected.isEmpty() ? -1 : selected.first().row();
}

TEST(LobbyWindow, ListsDrawTheLogicsRowsAndCommandsActOnTheRowTheUserPicked) {
  testing::OffscreenLobby seat("tform1_lists");
  TForm1& form = seat.form;
  testing::FakeTransport& transport = seat.transport;
  form.show();
  EXPECT_EQ(form.focusWidget(), form.Edit2) << "the chat line has the focus when the window opens";
  std::vector<QWidget*> tabOrder;
  for (QWidget* w = form.Edit2->nextInFocusChain(); w != form.Edit2 && tabOrder.size() < 50;
       w = w->nextInFocusChain()) {
    if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(&form)) tabOrder.push_back(w);
  }
  EXPECT_EQ(tabOrder, (std::vector<QWidget*>{form.ListBox1, form.ListBox2}));

  form.S1->trigger();
  EXPECT_TRUE(form.L1->isEnabled());
  transport.isActive = transport.isConnected = true;
  Lobby& lobby = form.lobby();
  lobby.ClientSocket1Connect();
  lobby.ClientSocket1Read("S_CONNECT,5,hi\0S_LIST,9:Ann:0,10:Bob:0,2:Cy:0\0S_GLIST,9:2:1:0,10:9:2:0\0"s);
  QApplication::processEvents();
  EXPECT_EQ(Shown(*form.ListBox1), (QStringList{"10: Bob", "2: Cy", "9: Ann"}));
  EXPECT_EQ(Shown(*form.ListBox1), Logic(lobby.lists().ListBox1()));
  EXPECT_EQ(Shown(*form.ListBox2),
            (QStringList{QStringLiteral("10: リーダー Ann(2)"), QStringLiteral("9: リーダー Cy(1)")}));

  // A click on party 9, shown second, then the Lobby menu's join.
  transport.sends.clear();
  QTest::mouseClick(form.ListBox2->viewport(), Qt::LeftButton, {},
                    form.ListBox2->visualRect(form.ListBox2->model()->index(1, 0)).center());
  EXPECT_EQ(lobby.lists().ListBox2().selection(), 1u);
  form.J1->trigger();
  // A double click on user 9, shown last.
  QTest::mouseDClick(form.ListBox1->viewport(), Qt::LeftButton, {},
                     form.ListBox1->visualRect(form.ListBox1->model()->index(2, 0)).center());
  EXPECT_EQ(transport.sends, (std::vector<std::string>{"P_JOIN 5 9\0"s, "G_INFO 5 9\0"s}));

  // A departure redraws the user list: the selection goes on both sides, and
  // a double click on the empty space left asks about nobody.
  lobby.ClientSocket1Read("S_QUIT,10\0"s);
  QApplication::processEvents();
  EXPECT_EQ(Shown(*form.ListBox1), (QStringList{"2: Cy", "9: Ann"}));
  EXPECT_FALSE(lobby.lists().ListBox1().selection().has_value());
  EXPECT_EQ(ShownSelection(*form.ListBox1), -1);
  transport.sends.clear();
  QTest::mouseDClick(form.ListBox1->viewport(), Qt::LeftButton, {},
                     QPoint(4, form.ListBox1->viewport()->height() - 4));
  EXPECT_TRUE(transport.sends.empty());

  // The chat line: Shift+Enter sends, the keypad's Enter on an untouched line
  // does not, and a line typed and erased sends an empty chat.
  transport.sends.clear();
  QTest::keyClicks(form.Edit2, "a, \"b\"");
  QTest::keyClick(form.Edit2, Qt::Key_Return, Qt::ShiftModifier);
  EXPECT_EQ(form.Edit2->text(), "");
  QTest::keyClick(form.Edit2, Qt::Key_Enter, Qt::KeypadModifier);
  QTest::keyClicks(form.Edit2, "x");
  QTest::keyClick(form.Edit2, Qt::Key_Backspace);
  QTest::keyClick(form.Edit2, Qt::Key_Return);
  EXPECT_EQ(transport.sends, (std::vector<std::string>{"G_CHAT 5 a, \"b\"\0"s, "G_CHAT 5 \0"s}));

  // Wider and taller: the party list and the chat line stretch, the user
  // list stays as it is, the debug log takes the height.
  const QRect users = form.ListBox1->geometry();
  const QRect parties = form.ListBox2->geometry();
  const QRect chat = form.Edit2->geometry();
  const QRect log = form.Memo2->geometry();
  form.resize(form.width() + 100, form.height() + 50);
  QApplication::processEvents();
  EXPECT_EQ(form.ListBox1->geometry(), users);
  EXPECT_EQ(form.ListBox2->geometry(), parties.adjusted(0, 0, 100, 0));
  EXPECT_EQ(form.Edit2->geometry(), chat.adjusted(0, 0, 100, 0));
  EXPECT_EQ(form.Memo2->geometry(), log.adjusted(0, 0, 100, 50));
  EXPECT_TRUE(seat.errors.shown.empty());
}

}  // namespace
}  // namespace gorvane
