// The console's input: the wheel and the paging keys, selecting with the
// mouse, and copying what is selected.
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <algorithm>

#include "qt/console_widgets.h"
#include "qt/qt_text.h"

namespace gorvane {
namespace {

bool WordCharacter(QChar c) { return c.isLetterOrNumber() || c == u'_'; }

}  // namespace

void ConsoleWidget::wheelEvent(QWheelEvent* event) {
  // A notch of the wheel moves the usual number of rows; fine wheels add up.
  const int unit = std::max(1, 120 / std::max(1, QApplication::wheelScrollLines()));
  wheelRemainder_ += event->angleDelta().y();
  const int rows = wheelRemainder_ / unit;
  wheelRemainder_ -= rows * unit;
  if (rows != 0) ScrollRows(-rows);
  event->accept();
}

void ConsoleWidget::keyPressEvent(QKeyEvent* event) {
  const long page = std::max(1, FullRows() - 1);
  if (event->matches(QKeySequence::Copy)) {
    copy();
  } else if (event->matches(QKeySequence::SelectAll)) {
    selectAll();
  } else if (event->matches(QKeySequence::MoveToStartOfDocument) || event->key() == Qt::Key_Home) {
    ScrollTo({});
  } else if (event->matches(QKeySequence::MoveToEndOfDocument) || event->key() == Qt::Key_End) {
    ScrollTo(EndTop());
  } else if (event->key() == Qt::Key_PageUp) {
    ScrollRows(-page);
  } else if (event->key() == Qt::Key_PageDown) {
    ScrollRows(page);
  } else if (event->key() == Qt::Key_Up) {
    ScrollRows(-1);
  } else if (event->key() == Qt::Key_Down) {
    ScrollRows(1);
  } else {
    event->ignore();
    return;
  }
  event->accept();
}

ConsoleWidget::TextPos ConsoleWidget::HitTest(QPoint point) {
  if (lines_.empty()) return {};
  if (dirty_) Settle();
  long rows = std::max(0, point.y() - kMargin) / rowHeight_;
  Position at = top_;
  while (rows > 0) {
    const uint32_t count = RowCount(at.line);
    if (at.row + rows < count) {
      at.row += static_cast<uint32_t>(rows);
      break;
    }
    rows -= count - at.row;
    if (at.line + 1 >= lines_.size()) {
      const size_t last = lines_.size() - 1;
      return {last, Line(last).text.size()};
    }
    at = {at.line + 1, 0};
  }
  LaidOutLine& line = Line(at.line);
  const auto [start, end] = RowSpan(line, at.row);
  const int column = Row(line, at.row).lineAt(0).xToCursor(point.x() - kMargin);
  return {at.line, start + std::clamp<qsizetype>(column, 0, end - start)};
}

ConsoleWidget::TextPos ConsoleWidget::WordStart(TextPos at) {
  const QString& text = Line(at.line).text;
  qsizetype i = at.index;
  while (i > 0 && WordCharacter(text[i - 1])) --i;
  return {at.line, i};
}

ConsoleWidget::TextPos ConsoleWidget::WordEnd(TextPos at) {
  const QString& text = Line(at.line).text;
  qsizetype i = at.index;
  while (i < text.size() && WordCharacter(text[i])) ++i;
  return {at.line, i};
}

void ConsoleWidget::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  const TextPos at = HitTest(event->position().toPoint());
  if (!(event->modifiers() & Qt::ShiftModifier) || !anchor_) anchor_ = at;
  caret_ = at;
  selecting_ = true;
  viewport()->update();
}

void ConsoleWidget::mouseMoveEvent(QMouseEvent* event) {
  if (!selecting_) return;
  QPoint point = event->position().toPoint();
  // Dragging past an edge scrolls a row at a time.
  if (point.y() < 0) ScrollRows(-1);
  if (point.y() >= viewport()->height()) ScrollRows(1);
  point.setY(std::clamp(point.y(), 0, viewport()->height() - 1));
  caret_ = HitTest(point);
  viewport()->update();
}

void ConsoleWidget::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !selecting_) return;
  selecting_ = false;
  SelectionChanged();
}

void ConsoleWidget::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || lines_.empty()) return;
  const TextPos at = HitTest(event->position().toPoint());
  anchor_ = WordStart(at);
  caret_ = WordEnd(at);
  if (*anchor_ == caret_ && caret_.index < Line(at.line).text.size()) ++caret_.index;
  viewport()->update();
  SelectionChanged();
}

void ConsoleWidget::SelectionChanged() {
  // Where the system has a selection clipboard, what is selected is in it.
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (hasSelection() && clipboard->supportsSelection())
    clipboard->setText(selectedText(), QClipboard::Selection);
}

void ConsoleWidget::contextMenuEvent(QContextMenuEvent* event) {
  createContextMenu()->exec(event->globalPos());
}

std::unique_ptr<QMenu> ConsoleWidget::createContextMenu() {
  auto menu = std::make_unique<QMenu>();
  QAction* copyAction = menu->addAction(QStringLiteral("コピー(&C)"), [this] { copy(); });
  copyAction->setShortcut(QKeySequence::Copy);
  copyAction->setEnabled(hasSelection());
  menu->addSeparator();
  QAction* all = menu->addAction(QStringLiteral("すべて選択(&A)"), [this] { selectAll(); });
  all->setShortcut(QKeySequence::SelectAll);
  all->setEnabled(!lines_.empty());
  return menu;
}

bool ConsoleWidget::hasSelection() const { return anchor_ && *anchor_ != caret_; }

void ConsoleWidget::selectAll() {
  if (lines_.empty()) return;
  anchor_ = TextPos{};
  const size_t last = lines_.size() - 1;
  caret_ = {last, ToQString(lines_.Text(last)).size()};
  viewport()->update();
}

void ConsoleWidget::copy() const {
  if (hasSelection()) QGuiApplication::clipboard()->setText(selectedText());
}

QString ConsoleWidget::selectedText() const {
  if (!hasSelection()) return {};
  const auto [from, to] = std::minmax(*anchor_, caret_);
  const auto shown = [this](size_t line) {
    const auto it = laidOut_.find(line);
    return it != laidOut_.end() ? it->second.text : ToQString(lines_.Text(line));
  };
  if (from.line == to.line) return shown(from.line).mid(from.index, to.index - from.index);
  // The lines between are whole: their bytes are joined and converted at
  // once (a line feed is never part of a double-byte character).
  std::string between;
  for (size_t line = from.line + 1; line < to.line; ++line) {
    between.append(lines_.Text(line));
    between += '\n';
  }
  return shown(from.line).mid(from.index) + u'\n' + ToQString(between) + shown(to.line).left(to.index);
}

QString ConsoleWidget::toPlainText() const {
  std::string all;
  all.reserve(lines_.bytes() + lines_.size());
  for (size_t line = 0; line < lines_.size(); ++line) {
    if (line > 0) all += '\n';
    all.append(lines_.Text(line));
  }
  return ToQString(all);
}

}  // namespace gorvane
