#include "core/console_widgets.h"

#include <QScrollBar>
#include <QTextCharFormat>

#include "core/qt_text.h"

namespace gorvane {

QFont FontOf(const QStringList& families, int pixels) {
  QFont font;
  font.setFamilies(families);
  font.setPixelSize(pixels);
  return font;
}

QFont ConsoleFont() {
  return FontOf({QStringLiteral("ＭＳ ゴシック"), QStringLiteral("Noto Sans Mono CJK JP"),
                 QStringLiteral("Noto Sans CJK JP"), QStringLiteral("monospace")},
                12);
}

void SetUpLogArea(QPlainTextEdit& edit) {
  edit.setReadOnly(true);
  // Undo history of a log only costs memory (about 18 MiB per 100k lines).
  edit.setUndoRedoEnabled(false);
  edit.setFocusPolicy(Qt::ClickFocus);
  edit.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  edit.setLineWrapMode(QPlainTextEdit::WidgetWidth);
}

RichConsoleView::RichConsoleView(QPlainTextEdit& edit) : edit_(edit), end_(edit.document()) {
  end_.movePosition(QTextCursor::End);
  empty_ = edit.document()->isEmpty();
}

void RichConsoleView::AddLine(std::string_view cp932Line, Rgb colour) {
  QTextCharFormat format;
  format.setForeground(QColor(colour.red, colour.green, colour.blue));
  end_.movePosition(QTextCursor::End);
  // One edit block: one document change and one repaint of the new line,
  // not two changes that repaint the whole console.
  end_.beginEditBlock();
  if (!empty_) end_.insertBlock(QTextBlockFormat(), format);
  end_.insertText(ToQString(cp932Line), format);
  end_.endEditBlock();
  empty_ = false;
  QScrollBar* bar = edit_.verticalScrollBar();
  bar->setValue(bar->maximum());
}

void DebugLogView::AppendLine(std::string_view cp932Line) { edit_.appendPlainText(ToQString(cp932Line)); }

void DebugLogView::AppendLines(const std::vector<std::string>& cp932Lines) {
  if (cp932Lines.empty()) return;
  // A line feed is never part of a double-byte character, so the lines can
  // be joined before they are converted, once.
  std::string joined = cp932Lines.front();
  for (size_t i = 1; i < cp932Lines.size(); ++i) (joined += '\n') += cp932Lines[i];
  edit_.appendPlainText(ToQString(joined));
}

}  // namespace gorvane
