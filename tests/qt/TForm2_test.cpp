// SPDX-License-Identifier: GPL-3.0-or-later
// The game window drawing the room's roster and hand, offscreen.
#include "qt/TForm2.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QScrollBar>
#include <QTest>

#include "../client/game_fakes.h"
#include "spine/sjis.h"

namespace gorvane {
namespace {

struct GameWindowFixture {
  testing::RecordingCommands commands;
  testing::FakeDebugLog debugLog;
  CardCatalogue catalogue;
  int32_t myId = 5;
  TForm2 form{LobbyLinks{commands, debugLog, catalogue, [this] { return myId; }}, nullptr, nullptr};
};

TEST(GameWindow, MemberListShowsTheRosterRows) {
  GameWindowFixture f;
  testing::LoadCards(f.catalogue, sjis::Text("o H オーク 0 1 2\r\n"));
  f.form.show();
  EXPECT_EQ(f.commands.sent, std::vector<std::string>{"P_LIST *"});
  EXPECT_TRUE(f.form.S1->isEnabled());

  GameRoom& room = f.form.room();
  room.createPartyList("3:1:A,5:0:B");
  room.roster().members[1].isTurn = true;
  room.roster().members[1].monster = 1;
  room.RefreshPartyList();

  QTreeWidget& list = *f.form.MemberList;
  ASSERT_EQ(list.topLevelItemCount(), 2);
  ASSERT_EQ(list.columnCount(), 6);
  const QStringList headings = {"", "", "名前", "位置", "手札", "モンスター"};
  for (int c = 0; c < 6; ++c) EXPECT_EQ(list.headerItem()->text(c), headings[c]) << c;
  const QStringList rows[] = {{"", "* 3", "A", "@Entrance", "7", ""},
                              {"", "5", "B", "@Entrance", "7", "オーク"}};
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 6; ++c) EXPECT_EQ(list.topLevelItem(r)->text(c), rows[r][c]) << r << "," << c;
  }
  EXPECT_EQ(list.topLevelItem(0)->icon(0).cacheKey(), f.form.ImageList1[0].cacheKey());
  EXPECT_EQ(list.topLevelItem(1)->icon(0).cacheKey(), f.form.ImageList1[1].cacheKey());
  EXPECT_FALSE(f.form.S1->isEnabled()) << "only the leader starts a game";

  // Choosing a row reaches the room; a redraw clears it.
  list.topLevelItem(1)->setSelected(true);
  EXPECT_EQ(room.screen().memberSelection, std::optional<size_t>(1));
  room.RefreshPartyList();
  EXPECT_TRUE(list.selectedItems().isEmpty());
}

TEST(GameWindow, HandListShowsTheHandAndAClickTogglesARow) {
  GameWindowFixture f;
  const std::string longName(40, 'W');
  testing::LoadCards(f.catalogue, "a L A 0 0 5\r\nb F " + longName + " 0 1 1\r\n");
  f.form.show();
  GameRoom& room = f.form.room();
  room.createPartyList("5:1:Me");
  room.state().usedMarks[0] = true;
  room.GetHand("1,2");
  QApplication::processEvents();

  QListWidget& hand = *f.form.HandList;
  ASSERT_EQ(hand.count(), 2);
  EXPECT_EQ(hand.item(0)->text(), "[U] A(5)");
  EXPECT_EQ(hand.item(1)->text(), QString::fromStdString(longName) + "(1D+1)[戦士]");

  // The extent covers the longest row.
  const int longRow = QFontMetrics(hand.font()).horizontalAdvance(hand.item(1)->text()) + 3;
  EXPECT_EQ(f.form.handExtent(), longRow);
  EXPECT_GT(hand.horizontalScrollBar()->maximum(), 0);

  const QPoint row0 = hand.visualItemRect(hand.item(0)).center();
  QTest::mouseClick(hand.viewport(), Qt::LeftButton, {}, row0);
  EXPECT_EQ(room.screen().handList.Selection(), std::vector<size_t>{0});
  QTest::mouseClick(hand.viewport(), Qt::LeftButton, {}, hand.visualItemRect(hand.item(1)).center());
  EXPECT_EQ(room.screen().handList.Selection(), (std::vector<size_t>{0, 1}));
  QTest::mouseClick(hand.viewport(), Qt::LeftButton, {}, row0);
  EXPECT_EQ(room.screen().handList.Selection(), std::vector<size_t>{1});

  // A game is on: a wider window recomputes the extent over the same rows.
  room.state().gameRunning = true;
  f.form.resize(f.form.width() + 600, f.form.height());
  QApplication::processEvents();
  EXPECT_EQ(f.form.handExtent(), hand.viewport()->width());
  EXPECT_EQ(room.screen().handList.Selection(), std::vector<size_t>{1}) << "rows are not rebuilt";
}

}  // namespace
}  // namespace gorvane

namespace gorvane {
namespace {

TEST(GameWindow, ButtonsMenusAndChatSendThroughTheRoom) {
  GameWindowFixture f;
  testing::LoadCards(f.catalogue, "a L Path 0 0 10\r\nb F Knight 0 1 2\r\n");
  f.form.show();
  GameRoom& room = f.form.room();
  room.createPartyList("5:1:Me,7:0:B");
  room.GetHand("1,2,2,2,2,2,2");
  f.commands.sent.clear();

  f.form.S1->trigger();
  EXPECT_FALSE(f.form.S1->isEnabled());
  room.DispatchReady();
  EXPECT_TRUE(f.form.Button1->isEnabled());
  EXPECT_FALSE(f.form.Button3->isEnabled());
  QTest::mouseClick(f.form.Button1, Qt::LeftButton);
  EXPECT_FALSE(f.form.Button1->isEnabled());
  EXPECT_TRUE(f.form.Button3->isEnabled() && f.form.Button4->isEnabled() && f.form.Button2->isEnabled());
  room.DrowCard(2);

  f.form.HandList->item(0)->setSelected(true);
  QTest::mouseClick(f.form.Button3, Qt::LeftButton);
  EXPECT_EQ(f.form.HandList->item(0)->text(), "[U] Path(10)");
  QTest::mouseClick(f.form.Button2, Qt::LeftButton);
  f.form.R1->trigger();  // during a game: a redraw, nothing sent

  // The chat line: an untouched empty line sends nothing, an erased one an
  // empty line, Shift+Enter like Enter.
  QTest::keyClick(f.form.Edit1, Qt::Key_Return);
  QTest::keyClicks(f.form.Edit1, "a, \"b\"");
  QTest::keyClick(f.form.Edit1, Qt::Key_Return, Qt::ShiftModifier);
  EXPECT_TRUE(f.form.Edit1->text().isEmpty());
  QTest::keyClicks(f.form.Edit1, "x");
  QTest::keyClick(f.form.Edit1, Qt::Key_Backspace);
  QTest::keyClick(f.form.Edit1, Qt::Key_Enter);

  f.form.close();
  EXPECT_TRUE(f.form.isHidden());
  EXPECT_EQ(f.commands.sent, (std::vector<std::string>{"P_START *", "P_DROW *", "P_PLAY 5 1", "P_TURNEND *",
                                                       "P_CHAT a, \"b\"", "P_CHAT ", "P_BYE *"}));
}

}  // namespace
}  // namespace gorvane
