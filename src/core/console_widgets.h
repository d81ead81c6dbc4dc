// The Qt side of the consoles: the coloured rich-text console and the plain
// debug log, both over QPlainTextEdit (its layout stays flat as it grows).
#pragma once

#include <QFont>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTextCursor>

#include "core/ports.h"

namespace gorvane {

QFont FontOf(const QStringList& families, int pixels);
// The console face: the classic Japanese one where it exists, else a CJK face
// that the client's packages install.
QFont ConsoleFont();

// Makes an edit a read-only, never-shortened log area with a vertical
// scroll bar that the Tab key skips.
void SetUpLogArea(QPlainTextEdit& edit);

class RichConsoleView : public ConsoleView {
 public:
  explicit RichConsoleView(QPlainTextEdit& edit);
  // Adds the line through a cursor of its own, so the user's caret and
  // selection, and the colours under them, stay as they are.
  void AddLine(std::string_view cp932Line, Rgb colour) override;

 private:
  QPlainTextEdit& edit_;
  QTextCursor end_;
  bool empty_ = true;
};

class DebugLogView : public DebugLog {
 public:
  explicit DebugLogView(QPlainTextEdit& edit) : edit_(edit) {}
  void AppendLine(std::string_view cp932Line) override;
  // One append for all: each append lays the log out again, and a list of
  // thousands of users writes a line per user.
  void AppendLines(const std::vector<std::string>& cp932Lines) override;

 private:
  QPlainTextEdit& edit_;
};

}  // namespace gorvane
