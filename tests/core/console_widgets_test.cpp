#include "core/console_widgets.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QScrollBar>
#include <QTextBlock>

#include "../core/fakes.h"
#include "core/TVR1Util.h"

namespace gorvane {
namespace {

QColor ColourOfBlock(QPlainTextEdit& edit, int block) {
  const QTextBlock b = edit.document()->findBlockByNumber(block);
  QTextCursor cursor(b);
  cursor.movePosition(QTextCursor::NextCharacter);
  return cursor.charFormat().foreground().color();
}

TEST(RichConsole, EachLineKeepsItsOwnColour) {
  QPlainTextEdit edit;
  SetUpLogArea(edit);
  RichConsoleView view(edit);
  testing::FixedClock clock;
  Console console(view, clock);
  console.Print("SYS: refused", kRed);
  console.Print("SYS: plain", kBlack);
  console.Print("chat", kGreen);
  ASSERT_EQ(edit.document()->blockCount(), 3);
  EXPECT_EQ(edit.document()->findBlockByNumber(0).text(), "[09:05:03] SYS: refused");
  EXPECT_EQ(ColourOfBlock(edit, 0), QColor(255, 0, 0));
  EXPECT_EQ(ColourOfBlock(edit, 1), QColor(0, 0, 0));
  EXPECT_EQ(ColourOfBlock(edit, 2), QColor(0, 128, 0));
  // The last character of the red line is red too: the whole line is coloured.
  QTextCursor end(edit.document()->findBlockByNumber(0));
  end.movePosition(QTextCursor::EndOfBlock);
  EXPECT_EQ(end.charFormat().foreground().color(), QColor(255, 0, 0));
}

TEST(RichConsole, ANewLineScrollsToTheEndAndLeavesTheUsersSelectionAlone) {
  QPlainTextEdit edit;
  SetUpLogArea(edit);
  edit.resize(361, 241);
  edit.show();
  RichConsoleView view(edit);
  testing::FixedClock clock;
  Console console(view, clock);
  for (int i = 0; i < 200; ++i) console.Print("SYS: line " + std::to_string(i), i % 2 == 0 ? kRed : kGreen);
  QApplication::processEvents();

  // The user scrolls up and selects part of line 3 (green).
  QScrollBar* bar = edit.verticalScrollBar();
  bar->setValue(0);
  QTextCursor selection(edit.document()->findBlockByNumber(3));
  selection.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
  edit.setTextCursor(selection);
  const QString selected = edit.textCursor().selectedText();
  ASSERT_FALSE(selected.isEmpty());

  console.Print("SYS: new", kBlack);
  QApplication::processEvents();

  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(edit.textCursor().selectedText(), selected);
  EXPECT_EQ(ColourOfBlock(edit, 3), QColor(0, 128, 0));
  QTextCursor inside(edit.document()->findBlockByNumber(3));
  inside.movePosition(QTextCursor::EndOfBlock);
  EXPECT_EQ(inside.charFormat().foreground().color(), QColor(0, 128, 0));
  EXPECT_EQ(ColourOfBlock(edit, 200), QColor(0, 0, 0));
  EXPECT_EQ(edit.document()->lastBlock().text(), "[09:05:03] SYS: new");
}

TEST(DebugLog, AppendsPlainLinesAndShowsCodePage932Text) {
  QPlainTextEdit edit;
  DebugLogView log(edit);
  log.AppendLine("DEBUG: S_LOGIN");
  log.AppendLine("DEBUG: S_CHAT \x83\x5C\x87\x40");
  EXPECT_EQ(edit.toPlainText(), QString::fromUtf8("DEBUG: S_LOGIN\nDEBUG: S_CHAT ソ①"));
}

TEST(DebugLog, LinesWrittenTogetherReadAsLinesWrittenOneByOne) {
  const std::vector<std::string> lines = {"", "createUserList: 1:\x83\x5C:0name = \x83\x5C", "x\x83", "",
                                          "end"};
  QPlainTextEdit together;
  QPlainTextEdit oneByOne;
  DebugLogView(together).AppendLine("before");
  DebugLogView(oneByOne).AppendLine("before");
  DebugLogView(together).AppendLines(lines);
  for (const std::string& line : lines) DebugLogView(oneByOne).AppendLine(line);
  DebugLogView(together).AppendLines({});
  EXPECT_EQ(together.toPlainText(), oneByOne.toPlainText());
  EXPECT_EQ(together.blockCount(), 6);
}

}  // namespace
}  // namespace gorvane
