#include "qt/console_widgets.h"

#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionSlider>
#include <QTextCharFormat>
#include <algorithm>

#include "qt/qt_text.h"

namespace gorvane {
namespace {

// Lines kept laid out besides those on screen, and the characters they may
// hold: a long line scrolled away stays laid out for a while, not forever.
constexpr size_t kKeepLines = 256;
constexpr qsizetype kKeepChars = qsizetype{8} << 20;

// A scroll bar that is repainted only when it looks different. The bar
// counts lines: with thousands of them a new line moves its handle by no
// pixel at all, and repainting it for every line would cost more than the
// line itself.
class LineScrollBar : public QScrollBar {
 public:
  LineScrollBar() : QScrollBar(Qt::Vertical) {}

 protected:
  void sliderChange(SliderChange change) override {
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect handle =
        style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this);
    const Looks looks{handle, value() == minimum(), value() == maximum(), isSliderDown()};
    if (change == SliderStepsChange || looks != shown_) {
      shown_ = looks;
      QScrollBar::sliderChange(change);
    }
  }
  void resizeEvent(QResizeEvent* event) override {
    shown_ = {};
    QScrollBar::resizeEvent(event);
  }

 private:
  struct Looks {
    QRect handle;
    bool atMinimum = false;
    bool atMaximum = false;
    bool down = false;
    friend bool operator==(const Looks&, const Looks&) = default;
  };
  Looks shown_;
};

}  // namespace

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

QFont DebugLogFont() {
  return FontOf(
      {QStringLiteral("MS UI Gothic"), QStringLiteral("Noto Sans CJK JP"), QStringLiteral("sans-serif")}, 11);
}

ConsoleWidget::ConsoleWidget(QWidget* parent) : QAbstractScrollArea(parent) {
  // Clicks give it the focus (for Ctrl+C and the paging keys); Tab skips it.
  setFocusPolicy(Qt::ClickFocus);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBar(new LineScrollBar);
  viewport()->setCursor(Qt::IBeamCursor);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  ForgetLayout();
}

ConsoleWidget::~ConsoleWidget() = default;

void ConsoleWidget::AddLine(std::string_view cp932Line, Rgb colour) {
  lines_.Add(cp932Line, colour);
  LinesAdded();
}

void ConsoleWidget::AppendLine(std::string_view cp932Line) { AddLine(cp932Line, Rgb{}); }

void ConsoleWidget::AppendLines(const std::vector<std::string>& cp932Lines) {
  for (const std::string& line : cp932Lines) lines_.Add(line, Rgb{});
  if (!cp932Lines.empty()) LinesAdded();
}

void ConsoleWidget::LinesAdded() {
  // Every new line brings the end into view, whatever the user scrolled to.
  followEnd_ = true;
  dirty_ = true;
  // Lines that arrive together are settled together, once, when the event
  // loop next turns: a list of thousands of lines lays out only its last.
  if (settlePosted_) return;
  settlePosted_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        settlePosted_ = false;
        if (isVisible()) Settle();
      },
      Qt::QueuedConnection);
}

int ConsoleWidget::FullRows() const { return std::max(1, (viewport()->height() - kMargin) / rowHeight_); }

qreal ConsoleWidget::WrapWidth() const { return std::max(1, viewport()->width() - 2 * kMargin); }

void ConsoleWidget::ForgetLayout() {
  font_ = font();
  breaker_ = std::make_unique<RowBreaker>(font_);
  const QFontMetrics metrics(font_);
  rowHeight_ = std::max(1, metrics.lineSpacing());
  ascent_ = metrics.ascent();
  wrapWidth_ = WrapWidth();
  laidOut_.clear();
  paintedTop_.reset();
  dirty_ = true;
}

ConsoleWidget::LaidOutLine& ConsoleWidget::Line(size_t line) {
  auto [it, added] = laidOut_.try_emplace(line);
  LaidOutLine& laid = it->second;
  if (added) laid.text = ToQString(lines_.Text(line));
  // Converted once; cut into rows again only when the width has changed.
  if (added || laid.width != wrapWidth_) {
    laid.rows = breaker_->Break(laid.text, wrapWidth_);
    laid.width = wrapWidth_;
    laid.painted.clear();
  }
  laid.used = generation_;
  return laid;
}

std::pair<qsizetype, qsizetype> ConsoleWidget::RowSpan(const LaidOutLine& line, uint32_t row) const {
  const qsizetype start = line.rows[row];
  qsizetype end = row + 1 < line.rows.size() ? line.rows[row + 1] : line.text.size();
  if (end > start && line.text[end - 1] == u'\n') --end;
  return {start, end};
}

QTextLayout& ConsoleWidget::Row(LaidOutLine& line, uint32_t row) {
  RowLayout& laid = line.painted[row];
  laid.used = generation_;
  if (!laid.layout) {
    const auto [start, end] = RowSpan(line, row);
    laid.layout = std::make_unique<QTextLayout>(line.text.mid(start, end - start), font_, viewport());
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    option.setTabStopDistance(breaker_->tabStop());
    laid.layout->setTextOption(option);
    laid.layout->setCacheEnabled(true);
    laid.layout->beginLayout();
    QTextLine textLine = laid.layout->createLine();
    textLine.setNumColumns(static_cast<int>(end - start));
    textLine.setPosition(QPointF(0, 0));
    laid.layout->endLayout();
  }
  return *laid.layout;
}

size_t ConsoleWidget::laidOutChars() const {
  size_t chars = 0;
  for (const auto& [index, line] : laidOut_) chars += static_cast<size_t>(line.text.size());
  return chars;
}

size_t ConsoleWidget::laidOutRows() const {
  size_t rows = 0;
  for (const auto& [index, line] : laidOut_) rows += line.painted.size();
  return rows;
}

ConsoleWidget::Position ConsoleWidget::EndTop() {
  long remaining = FullRows();
  for (size_t line = lines_.size(); line-- > 0;) {
    const uint32_t rows = RowCount(line);
    if (rows >= remaining) return {line, static_cast<uint32_t>(rows - remaining)};
    remaining -= rows;
  }
  return {};
}

ConsoleWidget::Position ConsoleWidget::Moved(Position from, long rows) {
  if (lines_.empty()) return {};
  Position at = from;
  if (rows < 0) {
    long up = -rows;
    while (up > at.row) {
      if (at.line == 0) return {};
      up -= at.row + 1;
      --at.line;
      at.row = RowCount(at.line) - 1;
    }
    at.row -= static_cast<uint32_t>(up);
    return at;
  }
  const Position end = EndTop();
  long down = rows;
  while (down > 0 && at < end) {
    const uint32_t count = RowCount(at.line);
    if (at.row + down < count) {
      at.row += static_cast<uint32_t>(down);
      break;
    }
    down -= count - at.row;
    at = {at.line + 1, 0};
  }
  return std::min(at, end);
}

long ConsoleWidget::RowsBetween(Position a, Position b, long limit) {
  if (a.line == b.line) return std::min<long>(limit, static_cast<long>(b.row) - a.row);
  // Every line has a row at least; and a line that starts past the limit
  // is not looked at: it may be a long one that was never on screen.
  if (b.line - a.line > static_cast<size_t>(limit)) return limit;
  long rows = static_cast<long>(RowCount(a.line)) - a.row;
  for (size_t line = a.line + 1; line < b.line && rows < limit; ++line) rows += RowCount(line);
  return std::min(limit, rows + b.row);
}

void ConsoleWidget::Settle() {
  // Lines come in even while nothing is painted (a minimised window): what
  // was laid out for them is let go here too.
  DropUnusedLines();
  ++generation_;
  dirty_ = false;
  if (lines_.empty()) return;
  const Position end = EndTop();
  if (followEnd_ || end < top_) top_ = end;
  top_.line = std::min(top_.line, lines_.size() - 1);
  top_.row = std::min(top_.row, RowCount(top_.line) - 1);
  settingBar_ = true;
  QScrollBar* bar = verticalScrollBar();
  bar->setRange(0, static_cast<int>(end.line));
  bar->setPageStep(FullRows());
  bar->setValue(static_cast<int>(top_.line));
  settingBar_ = false;
  if (!paintedTop_) {
    RepaintAll();
    return;
  }
  if (*paintedTop_ == top_) {
    // New lines below what is shown, if there is room for them.
    viewport()->update(QRect(0, paintedBottom_, viewport()->width(), viewport()->height()));
    return;
  }
  // Following the end, the lines on screen move up by the new rows: move
  // the pixels and paint only what came in, as a terminal does.
  const int rows = FullRows();
  const long moved = *paintedTop_ < top_ ? RowsBetween(*paintedTop_, top_, rows) : rows + 1;
  if (moved > 0 && moved < rows) {
    const int dy = static_cast<int>(moved) * rowHeight_;
    // Below the top margin only: the row that leaves must not show in it.
    viewport()->scroll(0, -dy, QRect(0, kMargin, viewport()->width(), viewport()->height() - kMargin));
    const int from = std::max(0, paintedBottom_ - dy);
    viewport()->update(QRect(0, from, viewport()->width(), viewport()->height() - from));
    // Qt moves what waits to be painted along with the pixels, so the next
    // line may move them again before a paint.
    paintedTop_ = top_;
    paintedBottom_ -= dy;
  } else {
    RepaintAll();
  }
}

void ConsoleWidget::RepaintAll() {
  // Until the paint, the pixels are no base to move.
  paintedTop_.reset();
  viewport()->update();
}

void ConsoleWidget::ScrollTo(Position top) {
  if (lines_.empty()) return;
  const Position end = EndTop();
  top_ = std::min(top, end);
  followEnd_ = top_ == end;
  settingBar_ = true;
  verticalScrollBar()->setValue(static_cast<int>(top_.line));
  settingBar_ = false;
  RepaintAll();
}

void ConsoleWidget::ScrollRows(long rows) {
  if (dirty_) Settle();
  ScrollTo(Moved(top_, rows));
}

void ConsoleWidget::scrollContentsBy(int, int) {
  // Only the user moves the bar: it counts lines, so its value is the line
  // at the top; at its end the view shows the end.
  if (settingBar_ || lines_.empty()) return;
  const QScrollBar* bar = verticalScrollBar();
  // The last screen may start inside a wrapped line, which a line count
  // cannot say: the bar's end is the end itself.
  ScrollTo(bar->value() >= bar->maximum() ? EndTop() : Position{static_cast<size_t>(bar->value()), 0});
}

void ConsoleWidget::DropUnused() {
  for (auto& [index, line] : laidOut_) {
    std::erase_if(line.painted, [&](const auto& row) { return row.second.used != generation_; });
  }
  DropUnusedLines();
}

void ConsoleWidget::DropUnusedLines() {
  if (laidOut_.size() <= kKeepLines) {
    qsizetype chars = 0;
    for (const auto& [index, line] : laidOut_) chars += line.text.size();
    if (chars <= kKeepChars) return;
  }
  std::erase_if(laidOut_, [&](const auto& line) { return line.second.used != generation_; });
}

void ConsoleWidget::paintEvent(QPaintEvent* event) {
  if (dirty_) {
    // Settled here the view may have moved: what this paint leaves out
    // comes in the next.
    paintedTop_.reset();
    Settle();
  }
  ++generation_;
  QPainter painter(viewport());
  const QRect clip = event->rect();
  std::optional<std::pair<TextPos, TextPos>> selection;
  if (hasSelection()) selection = std::minmax(*anchor_, caret_);
  QTextCharFormat selected;
  selected.setBackground(palette().brush(QPalette::Highlight));
  selected.setForeground(palette().brush(QPalette::HighlightedText));

  const int height = viewport()->height();
  int y = kMargin;
  for (Position at = top_; y < height && at.line < lines_.size(); at = {at.line + 1, 0}) {
    LaidOutLine& line = Line(at.line);
    const Rgb colour = lines_.Colour(at.line);
    painter.setPen(QColor(colour.red, colour.green, colour.blue));
    for (uint32_t row = at.row; row < line.rows.size() && y < height; ++row, y += rowHeight_) {
      if (y + rowHeight_ <= clip.top() || y > clip.bottom()) continue;
      QTextLayout& layout = Row(line, row);
      const auto [start, end] = RowSpan(line, row);
      QList<QTextLayout::FormatRange> ranges;
      if (selection) {
        const TextPos from = std::max(selection->first, TextPos{at.line, start});
        const TextPos to = std::min(selection->second, TextPos{at.line, end});
        if (from < to)
          ranges.push_back(
              {static_cast<int>(from.index - start), static_cast<int>(to.index - from.index), selected});
      }
      layout.draw(&painter, QPointF(kMargin, y + ascent_ - layout.lineAt(0).ascent()), ranges);
    }
  }
  paintedTop_ = top_;
  paintedBottom_ = y;
  DropUnused();
}

void ConsoleWidget::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  // Rows depend on the width alone; each line is cut anew when next used.
  wrapWidth_ = WrapWidth();
  paintedTop_.reset();
  dirty_ = true;
  if (isVisible()) Settle();
  RepaintAll();
}

void ConsoleWidget::showEvent(QShowEvent* event) {
  QAbstractScrollArea::showEvent(event);
  dirty_ = true;
  Settle();
}

void ConsoleWidget::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) {
    ForgetLayout();
    RepaintAll();
  }
}

}  // namespace gorvane
