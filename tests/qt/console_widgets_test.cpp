// SPDX-License-Identifier: GPL-3.0-or-later
// The console view as a user meets it, offscreen: the lines byte for byte in
// their colours, wrapping, selecting and copying across lines, following
// the end, and a huge line that costs only what is on screen.
#include "qt/console_widgets.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTest>

#include "../spine/fakes.h"
#include "spine/TVR1Util.h"
#include "spine/sjis.h"

namespace gorvane {
namespace {

// A shown console of the lobby's size with the lobby's face.
struct ShownConsole {
  ConsoleWidget view;
  ShownConsole(int width = 361, int height = 241) {
    view.setFont(ConsoleFont());
    view.resize(width, height);
    view.show();
    QApplication::processEvents();
  }
  void Settle() { QApplication::processEvents(); }
  // The middle of visible row k, at x pixels from the text's left.
  QPoint RowPoint(int k, int x = 1) const { return {4 + x, 4 + k * view.rowHeight() + view.rowHeight() / 2}; }
};

// What ink of a colour a row of the view shows: the count of pixels close
// to it, with a little room for antialiasing.
int InkOf(const QImage& image, int top, int height, QColor colour) {
  int count = 0;
  for (int y = top; y < top + height && y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor pixel = image.pixelColor(x, y);
      if (std::abs(pixel.red() - colour.red()) < 40 && std::abs(pixel.green() - colour.green()) < 40 &&
          std::abs(pixel.blue() - colour.blue()) < 40) {
        ++count;
      }
    }
  }
  return count;
}

TEST(ConsoleWidget, KeepsEveryLineByteForByteInItsColourAndOrder) {
  ShownConsole console;
  testing::FixedClock clock;
  Console printer(console.view, clock);
  const struct {
    std::string text;
    int kind;
    Rgb colour;
  } printed[] = {
      {"SYS: refused", kRed, {255, 0, 0}},
      {"SYS: plain", kBlack, {0, 0, 0}},
      {sjis::Text("アリス> こんにちは"), kGreen, {0, 128, 0}},
      {"kind three", 3, {0, 0, 0}},
      // A cut-off double-byte character stays in the store as it came.
      {"broken \x83", kRed, {255, 0, 0}},
  };
  for (const auto& line : printed) printer.AppendConsoleLine(line.text, line.kind);
  console.Settle();

  ASSERT_EQ(console.view.lines().size(), std::size(printed));
  for (size_t i = 0; i < std::size(printed); ++i) {
    EXPECT_EQ(console.view.lines().Text(i), "[09:05:03] " + printed[i].text) << i;
    EXPECT_EQ(console.view.lines().Colour(i), printed[i].colour) << i;
  }
  EXPECT_EQ(console.view.toPlainText(),
            QString::fromUtf8("[09:05:03] SYS: refused\n[09:05:03] SYS: plain\n"
                              "[09:05:03] アリス> こんにちは\n[09:05:03] kind three\n"
                              "[09:05:03] broken \xEF\xBF\xBD"));
  // On screen: the red line is red and only red, the green one green, the
  // black ones black.
  const QImage image = console.view.viewport()->grab().toImage();
  const int h = console.view.rowHeight();
  const QColor red(255, 0, 0), green(0, 128, 0), black(0, 0, 0);
  EXPECT_GT(InkOf(image, 4, h, red), 0);
  EXPECT_EQ(InkOf(image, 4, h, black), 0);
  EXPECT_GT(InkOf(image, 4 + h, h, black), 0);
  EXPECT_EQ(InkOf(image, 4 + h, h, red), 0);
  EXPECT_GT(InkOf(image, 4 + 2 * h, h, green), 0);
  EXPECT_EQ(InkOf(image, 4 + 2 * h, h, red), 0);

  // The debug log: plain lines, in order, whether written one by one or
  // together.
  ConsoleWidget together;
  ConsoleWidget oneByOne;
  const std::vector<std::string> lines = {"", "createUserList: 1:\x83\x5C:0name = \x83\x5C", "x\x83", "",
                                          "end"};
  together.AppendLine("before");
  oneByOne.AppendLine("before");
  together.AppendLines(lines);
  together.AppendLines({});
  for (const std::string& line : lines) oneByOne.AppendLine(line);
  ASSERT_EQ(together.lines().size(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(together.lines().Text(i), oneByOne.lines().Text(i));
    EXPECT_EQ(together.lines().Colour(i), (Rgb{0, 0, 0}));
  }
  EXPECT_EQ(together.toPlainText(),
            QString::fromUtf8("before\n\ncreateUserList: 1:ソ:0name = ソ\nx\xEF\xBF\xBD\n\nend"));
}

TEST(ConsoleWidget, WrapsAtItsWidthAtBlanksBetweenJapaneseCharactersOrAnywhere) {
  const QFont font = ConsoleFont();
  const QFontMetricsF metrics(font);
  RowBreaker breaker(font);
  const qreal width = 20 * metrics.horizontalAdvance(u'x');
  const struct {
    QString text;
    bool breaksAfterBlanks;
  } cases[] = {
      {QStringLiteral("alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu"), true},
      {QString(500, u'x'), false},
      {QStringLiteral("アリス> ") + QString(60, u'ソ') + QStringLiteral("おわり"), false},
      {QStringLiteral("one\ntwo\n\nthree"), false},
  };
  for (const auto& c : cases) {
    const std::vector<uint32_t> rows = breaker.Break(c.text, width);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.front(), 0u);
    QString joined;
    for (size_t r = 0; r < rows.size(); ++r) {
      const qsizetype end = r + 1 < rows.size() ? rows[r + 1] : c.text.size();
      const QString row = c.text.mid(rows[r], end - rows[r]);
      joined += row;
      // Every row fits; a blank at its end may hang over.
      EXPECT_LE(
          metrics.horizontalAdvance(QString(row).remove(QRegularExpression(QStringLiteral("[ \\n]+$")))),
          width + 0.5)
          << row.toStdString();
      if (c.breaksAfterBlanks && r > 0) {
        EXPECT_EQ(c.text[rows[r] - 1], u' ') << row.toStdString();
      }
    }
    EXPECT_EQ(joined, c.text);
    EXPECT_GT(rows.size(), 1u) << c.text.toStdString();
  }
  // A line feed always starts a row; the rows of one line are the lines.
  const QString lines = QStringLiteral("one\ntwo\n\nthree");
  EXPECT_EQ(breaker.Break(lines, width), (std::vector<uint32_t>{0, 4, 8, 9}));

  // In the view, a narrower console takes more rows for the same line.
  ShownConsole console;
  console.view.AppendLine(std::string(300, 'x'));
  console.Settle();
  const auto rowsAt = [&](int width) {
    console.view.resize(width, 241);
    console.Settle();
    // Count the rows that show ink.
    const QImage image = console.view.viewport()->grab().toImage();
    int rows = 0;
    for (int k = 0; 4 + (k + 1) * console.view.rowHeight() <= image.height(); ++k) {
      if (InkOf(image, 4 + k * console.view.rowHeight(), console.view.rowHeight(), QColor(0, 0, 0)) > 0)
        ++rows;
    }
    return rows;
  };
  const int wide = rowsAt(361);
  const int narrow = rowsAt(180);
  EXPECT_GE(wide, 2);
  EXPECT_GT(narrow, wide);
}

TEST(ConsoleWidget, SelectsAcrossLinesWithTheMouseAndCopies) {
  ShownConsole console;
  for (int i = 0; i < 40; ++i) console.view.AppendLine("line " + std::to_string(i) + " text");
  console.Settle();
  QWidget* viewport = console.view.viewport();
  QTest::keyClick(viewport, Qt::Key_Home, Qt::ControlModifier);
  console.Settle();
  ASSERT_EQ(console.view.top().line, 0u);

  QTest::mousePress(viewport, Qt::LeftButton, {}, console.RowPoint(0));
  QTest::mouseMove(viewport, console.RowPoint(2, 1000));
  QTest::mouseRelease(viewport, Qt::LeftButton, {}, console.RowPoint(2, 1000));
  EXPECT_EQ(console.view.selectedText(), "line 0 text\nline 1 text\nline 2 text");

  // Ctrl+C and the context menu's copy put it on the clipboard.
  QGuiApplication::clipboard()->clear();
  QTest::keyClick(viewport, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "line 0 text\nline 1 text\nline 2 text");
  QGuiApplication::clipboard()->clear();
  auto menu = console.view.createContextMenu();
  ASSERT_EQ(menu->actions().size(), 3);
  ASSERT_TRUE(menu->actions()[0]->isEnabled());
  menu->actions()[0]->trigger();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "line 0 text\nline 1 text\nline 2 text");

  // Select all takes every line, from the menu or by the keys.
  menu->actions()[2]->trigger();
  EXPECT_EQ(console.view.selectedText(), console.view.toPlainText());
  QTest::keyClick(viewport, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(console.view.selectedText().count(u'\n'), 39);

  // A double click takes a word; a plain click drops the selection.
  QTest::keyClick(viewport, Qt::Key_Home, Qt::ControlModifier);
  QTest::mouseDClick(viewport, Qt::LeftButton, {}, console.RowPoint(1, 2));
  EXPECT_EQ(console.view.selectedText(), "line");
  QTest::mouseClick(viewport, Qt::LeftButton, {}, console.RowPoint(1, 2));
  EXPECT_FALSE(console.view.hasSelection());
  EXPECT_FALSE(console.view.createContextMenu()->actions()[0]->isEnabled());
}

TEST(ConsoleWidget, EveryNewLineScrollsToTheEndWhereverTheUserWas) {
  ShownConsole console;
  testing::FixedClock clock;
  Console printer(console.view, clock);
  for (int i = 0; i < 200; ++i)
    printer.AppendConsoleLine("SYS: line " + std::to_string(i), i % 2 == 0 ? kRed : kGreen);
  console.Settle();
  QScrollBar* bar = console.view.verticalScrollBar();
  EXPECT_GT(bar->maximum(), 150);
  EXPECT_EQ(bar->value(), bar->maximum());
  const ConsoleWidget::Position end = console.view.top();

  // The user scrolls up by the bar, the wheel and the keys.
  bar->setValue(10);
  EXPECT_EQ(console.view.top(), (ConsoleWidget::Position{10, 0}));
  QTest::keyClick(console.view.viewport(), Qt::Key_PageDown);
  EXPECT_GT(console.view.top().line, 10u);
  QWheelEvent wheel(QPointF(50, 50), console.view.mapToGlobal(QPointF(50, 50)), {}, {0, 120}, Qt::NoButton,
                    {}, Qt::NoScrollPhase, false);
  const size_t beforeWheel = console.view.top().line;
  QApplication::sendEvent(console.view.viewport(), &wheel);
  EXPECT_EQ(console.view.top().line, beforeWheel - QApplication::wheelScrollLines());
  QTest::keyClick(console.view.viewport(), Qt::Key_Down);
  EXPECT_EQ(console.view.top().line, beforeWheel - QApplication::wheelScrollLines() + 1);
  // Scrolling never goes past the end.
  for (int i = 0; i < 30; ++i) QTest::keyClick(console.view.viewport(), Qt::Key_PageDown);
  EXPECT_EQ(console.view.top(), end);

  // A selection made while scrolled up stays as a new line arrives.
  QTest::keyClick(console.view.viewport(), Qt::Key_Home, Qt::ControlModifier);
  QTest::mouseDClick(console.view.viewport(), Qt::LeftButton, {}, console.RowPoint(3, 100));
  const QString selected = console.view.selectedText();
  ASSERT_FALSE(selected.isEmpty());
  printer.AppendConsoleLine("SYS: new", kBlack);
  console.Settle();
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_EQ(console.view.top(), (ConsoleWidget::Position{end.line + 1, end.row}));
  EXPECT_EQ(console.view.selectedText(), selected);
  // The new line is the last one on screen: the bottom row is black.
  const QImage image = console.view.viewport()->grab().toImage();
  const int rows = (image.height() - 4) / console.view.rowHeight();
  EXPECT_GT(
      InkOf(image, 4 + (rows - 1) * console.view.rowHeight(), console.view.rowHeight(), QColor(0, 0, 0)), 0);
  EXPECT_EQ(console.view.lines().Text(200), "[09:05:03] SYS: new");

  // A closed game window is only hidden: what it is told meanwhile is at
  // its end when it is shown again.
  console.view.hide();
  for (int i = 0; i < 30; ++i) printer.AppendConsoleLine("SYS: while hidden " + std::to_string(i), kBlack);
  console.Settle();
  console.view.show();
  console.Settle();
  EXPECT_EQ(console.view.top(), (ConsoleWidget::Position{end.line + 31, end.row}));
  EXPECT_EQ(bar->value(), bar->maximum());

  // The bar dragged to its end shows the end, though the last screen starts
  // inside a long wrapped line.
  printer.AppendConsoleLine("SYS: " + std::string(3000, 'x'), kBlack);
  console.Settle();
  const ConsoleWidget::Position wrappedEnd = console.view.top();
  ASSERT_GT(wrappedEnd.row, 0u);
  bar->setValue(10);
  bar->setValue(bar->maximum());
  EXPECT_EQ(console.view.top(), wrappedEnd);
}

// A new line moves the pixels on screen up and paints only its own rows:
// what the screen then shows must be what a whole new paint shows, however
// the lines come (one by one, a few at a time, a list at once, wrapped).
TEST(ConsoleWidget, WhatTheScreenShowsAfterLinesStreamInIsAWholePaint) {
  for (const size_t batch : {1u, 3u, 40u}) {
    ShownConsole console(361, 72);
    console.view.move(0, 0);
    for (size_t i = 0; i < 120; ++i) {
      const std::string text = i % 17 == 5 ? "long " + std::string(130, 'x') : "line " + std::to_string(i);
      console.view.AddLine(text, i % 2 == 0 ? Rgb{255, 0, 0} : Rgb{0, 128, 0});
      if ((i + 1) % batch == 0) console.Settle();
      if (i == 60) {
        // A selection on screen moves with its lines.
        QTest::mouseDClick(console.view.viewport(), Qt::LeftButton, {}, console.RowPoint(1, 2));
      }
    }
    console.Settle();
    const QImage screen = QGuiApplication::primaryScreen()
                              ->grabWindow(console.view.winId())
                              .toImage()
                              .convertToFormat(QImage::Format_RGB32);
    const QImage painted = console.view.grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(screen, painted) << "lines " << batch << " at a time";
  }
}

TEST(ConsoleWidget, AHugeLineWithoutBlanksIsWholeAndOnlyItsRowsOnScreenAreLaidOut) {
  ShownConsole console;
  testing::FixedClock clock;
  Console printer(console.view, clock);
  printer.AppendConsoleLine("SYS: before", kBlack);
  console.Settle();
  const std::string huge(1 << 20, 'w');
  std::string japanese;
  const std::string kanji = sjis::Text("漢");
  for (int i = 0; i < (1 << 19); ++i) japanese += kanji;
  const int shownRows = (console.view.viewport()->height() - 4) / console.view.rowHeight() + 1;

  // A huge line that scrolls away before it is ever shown costs nothing
  // on screen.
  printer.AppendConsoleLine(huge, kGreen);
  qsizetype shortChars = 0;
  for (int i = 0; i < 50; ++i) {
    const std::string text = "SYS: short " + std::to_string(i);
    printer.AppendConsoleLine(text, kBlack);
    shortChars += 11 + static_cast<qsizetype>(text.size());
  }
  console.Settle();
  EXPECT_LT(console.view.laidOutChars(), 64u * 1024);
  EXPECT_LE(console.view.laidOutRows(), static_cast<size_t>(shownRows));

  // One that stays at the end is shown from its last rows.
  printer.AppendConsoleLine(japanese, kRed);
  console.Settle();
  ASSERT_EQ(console.view.lines().size(), 53u);
  EXPECT_EQ(console.view.lines().Text(1), "[09:05:03] " + huge);
  EXPECT_EQ(console.view.lines().Text(52), "[09:05:03] " + japanese);
  EXPECT_LE(console.view.laidOutRows(), static_cast<size_t>(shownRows));
  EXPECT_EQ(console.view.top().line, 52u);
  EXPECT_GT(console.view.top().row, 1000u);

  // Paging up walks through its rows; what is laid out stays what the
  // screen shows.
  for (int i = 0; i < 50; ++i) QTest::keyClick(console.view.viewport(), Qt::Key_PageUp);
  console.Settle();
  EXPECT_EQ(console.view.top().line, 52u);
  EXPECT_LE(console.view.laidOutRows(), static_cast<size_t>(shownRows));
  console.view.verticalScrollBar()->setValue(1);
  console.Settle();
  EXPECT_EQ(console.view.top(), (ConsoleWidget::Position{1, 0}));
  EXPECT_LE(console.view.laidOutRows(), static_cast<size_t>(shownRows));

  // Whole to the clipboard.
  console.view.selectAll();
  const QString all = console.view.selectedText();
  EXPECT_EQ(all.size(), console.view.toPlainText().size());
  EXPECT_EQ(all.size(), 22 + (11 + (1 << 20)) + shortChars + (11 + (1 << 19)) + 52);
  EXPECT_TRUE(all.endsWith(QString(10, QChar(0x6F22))));

  // Many short lines later, scrolled through, the huge ones are let go.
  for (int i = 0; i < 600; ++i) printer.AppendConsoleLine("SYS: after " + std::to_string(i), kBlack);
  console.Settle();
  for (int i = 0; i < 100; ++i) {
    console.view.verticalScrollBar()->setValue(60 + i * 5);
    console.Settle();
  }
  EXPECT_LT(console.view.laidOutChars(), 64u * 1024);
  EXPECT_LE(console.view.laidOutRows(), static_cast<size_t>(shownRows));
}

}  // namespace
}  // namespace gorvane
