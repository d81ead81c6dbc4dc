// SPDX-License-Identifier: GPL-3.0-or-later
// What a player sees of the windows, measured offscreen: captions that show
// whole and list rows that are cut at the edge rather than shortened.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace gorvane::testing {

// The settings file and the card list are read from the working directory.
class InTempDirectory {
 public:
  explicit InTempDirectory(const std::string& name) : previous_(std::filesystem::current_path()) {
    dir_ = std::filesystem::temp_directory_path() / ("gorvane_" + name + "_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ / "longcardlist.txt", std::ios::binary) << "g001 L Road 0 0 10\r\n";
    std::filesystem::current_path(dir_);
  }
  ~InTempDirectory() {
    std::filesystem::current_path(previous_);
    std::filesystem::remove_all(dir_);
  }
  InTempDirectory(const InTempDirectory&) = delete;
  InTempDirectory& operator=(const InTempDirectory&) = delete;

 private:
  std::filesystem::path previous_;
  std::filesystem::path dir_;
};

// The widest a text draws in a font: its advance, or its ink where it
// reaches further (a slanted last letter).
inline int DrawnWidth(const QFont& font, const QString& text) {
  const QFontMetrics metrics(font);
  return std::max(metrics.horizontalAdvance(text), metrics.boundingRect(text).width());
}

// A button's caption fits the part of the button the style draws it in.
inline void ExpectCaptionFits(const QPushButton& button) {
  QStyleOptionButton option;
  option.initFrom(&button);
  option.text = button.text();
  if (button.autoDefault()) option.features |= QStyleOptionButton::AutoDefaultButton;
  if (button.isDefault()) option.features |= QStyleOptionButton::DefaultButton;
  const QRect room = button.style()->subElementRect(QStyle::SE_PushButtonContents, &option, &button);
  const QFontMetrics metrics(button.font());
  EXPECT_LE(DrawnWidth(button.font(), button.text()), room.width()) << button.text().toStdString();
  EXPECT_LE(metrics.height(), room.height()) << button.text().toStdString();
}

// A label shows its caption on one line, whole.
inline void ExpectCaptionFits(const QLabel& label) {
  EXPECT_LE(DrawnWidth(label.font(), label.text()), label.contentsRect().width())
      << label.text().toStdString();
}

// Whether a row too long for its list shows its text from the start and is
// cut at the edge: the character just inside the edge is drawn then, while a
// row shortened with an ellipsis draws the ellipsis in its place. setRow puts
// one row showing shownBefore and then the given text into the list (on
// screen) that viewport belongs to.
inline bool CutAtTheEdge(QWidget& viewport, const QFont& font,
                         const std::function<void(const QString&)>& setRow,
                         const QString& shownBefore = QString()) {
  const QFontMetrics metrics(font);
  QString start;
  // Digits share one width, so the two rows below are laid out alike.
  while (3 + metrics.horizontalAdvance(shownBefore + start + "00") <= viewport.width() - 4) start += "0";
  const QString tail(60, '0');
  setRow(start + "1" + tail);
  QApplication::processEvents();
  const QImage one = viewport.grab().toImage();
  setRow(start + "7" + tail);
  QApplication::processEvents();
  return viewport.grab().toImage() != one;
}

}  // namespace gorvane::testing
