// SPDX-License-Identifier: GPL-3.0-or-later
// The game window as a player sees it, offscreen: its sizes, the member
// list's columns, captions that show whole and rows cut at the edge.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QMenuBar>
#include <QScrollBar>

#include "../client/game_fakes.h"
#include "qt/TForm2.h"
#include "view_checks.h"

namespace gorvane {
namespace {

using testing::CutAtTheEdge;
using testing::ExpectCaptionFits;

std::vector<int> Sections(const QTreeWidget& list) {
  std::vector<int> sizes;
  for (int c = 0; c < list.columnCount(); ++c) sizes.push_back(list.header()->sectionSize(c));
  return sizes;
}

// The outer size a window of this client area and menu bar has.
QSize Outer(const QMainWindow& window, QSize size) {
  return size + kWindowFrame - QSize(0, window.menuBar()->sizeHint().height());
}

TEST(GameWindowLayout, SizesColumnsCaptionsAndRowsAsTheLayoutDrawsThem) {
  testing::RecordingCommands commands;
  testing::FakeDebugLog debugLog;
  CardCatalogue catalogue;
  // Two cards shown by their names alone, which differ only in the last
  // digit, and a monster.
  const std::string digits(60, '0');
  testing::LoadCards(catalogue,
                     "a W " + digits + "1 0 0 0\r\nb W " + digits + "7 0 0 0\r\nc H Orc 0 1 8\r\n");
  TForm2 form{LobbyLinks{commands, debugLog, catalogue, [] { return 5; }}, nullptr, nullptr};
  form.show();
  QApplication::processEvents();

  // Outer sizes, and the client area the positions refer to.
  EXPECT_EQ(Outer(form, form.size()), QSize(548, 563));
  EXPECT_EQ(Outer(form, form.minimumSize()), QSize(459, 480));
  EXPECT_EQ(form.panel->size(), QSize(540, 509));
  EXPECT_EQ(form.MemberList->geometry(), QRect(8, 24, 348, 118));
  EXPECT_EQ(form.Button4->geometry(), QRect(442, 120, 90, 41));
  EXPECT_EQ(form.RichEdit1->geometry(), QRect(8, 320, 527, 180));

  // The member list's columns fill it exactly: no sideways scrolling.
  QTreeWidget& members = *form.MemberList;
  EXPECT_EQ(Sections(members), (std::vector<int>{15, 35, 100, 80, 40, 76}));
  EXPECT_EQ(members.header()->length(), members.viewport()->width());
  EXPECT_EQ(members.horizontalScrollBar()->maximum(), 0);
  const int headerMargin = members.style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, members.header());
  for (int c = 2; c < members.columnCount(); ++c) {
    const QString heading = members.headerItem()->text(c);
    EXPECT_LE(testing::DrawnWidth(members.header()->font(), heading) + 2 * headerMargin,
              members.header()->sectionSize(c))
        << heading.toStdString();
  }

  // Every caption whole, in the window's font at its pixel size.
  for (const QPushButton* button : {form.Button1, form.Button3, form.Button4, form.Button2}) {
    ExpectCaptionFits(*button);
    EXPECT_EQ(button->font().pixelSize(), 12) << button->text().toStdString();
  }
  ExpectCaptionFits(*form.Label7);
  EXPECT_EQ(form.Label7->font().pixelSize(), 32);
  for (const QLabel* label : {form.Label6, form.Label2, form.Label1, form.Label4, form.Label5}) {
    ExpectCaptionFits(*label);
  }

  // Long rows show from their start and are cut at the edge.
  const std::pair<const char*, QListWidget*> lists[] = {
      {"CharmBox", form.CharmBox}, {"CorridorList", form.CorridorList}, {"HandList", form.HandList}};
  for (const auto& [name, list] : lists) {
    list->clear();
    list->addItem(QString());
    EXPECT_TRUE(CutAtTheEdge(*list->viewport(), list->font(), [&](const QString& text) {
      list->item(0)->setText(text);
    })) << name;
    list->clear();
  }
  EXPECT_EQ(form.CharmBox->horizontalScrollBar()->maximum(), 0) << "a one-row box cannot scroll sideways";

  // The hand scrolls far enough to show its longest row to the end.
  GameRoom& room = form.room();
  room.createPartyList("3:1:A,5:0:B");
  const auto endOfTheRow = [&](const char* hand) {
    room.GetHand(hand);
    QApplication::processEvents();
    QScrollBar& sideways = *form.HandList->horizontalScrollBar();
    sideways.setValue(sideways.maximum());
    QApplication::processEvents();
    return form.HandList->viewport()->grab().toImage();
  };
  const int longest =
      QFontMetrics(form.HandList->font()).horizontalAdvance(QString::fromStdString(digits) + "1") + 3;
  EXPECT_NE(endOfTheRow("1"), endOfTheRow("2")) << "the last character of the row is shown";
  EXPECT_EQ(form.handExtent(), longest);
  EXPECT_EQ(form.HandList->horizontalScrollBar()->maximum(), longest - form.HandList->viewport()->width());

  // The last column takes what the others leave: more on a wider window,
  // less on a narrower one, down to the narrowest column.
  room.roster().members[1].monster = 3;
  room.RefreshPartyList();
  const QSize initial = form.size();
  for (const int wider : {100, -40, -1000}) {
    form.resize(form.width() + wider, form.height());
    QApplication::processEvents();
    const int rest = members.viewport()->width() - 270;
    EXPECT_EQ(members.header()->sectionSize(5), std::max(15, rest)) << wider;
    EXPECT_EQ(members.horizontalScrollBar()->maximum(), std::max(0, 15 - rest)) << wider;
    form.resize(initial);
  }
}

}  // namespace
}  // namespace gorvane
