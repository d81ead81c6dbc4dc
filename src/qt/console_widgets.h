// The Qt side of the consoles: one read-only log view over a compact line
// store, used by the lobby console, each game console and the debug log.
// Only the lines on screen are converted, cut into rows and laid out; a
// line far above costs nothing but its bytes.
#pragma once

#include <QAbstractScrollArea>
#include <QFont>
#include <QMenu>
#include <QStringList>
#include <QTextLayout>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>

#include "qt/console_rows.h"
#include "spine/console_lines.h"
#include "spine/ports.h"

namespace gorvane {

QFont FontOf(const QStringList& families, int pixels);
// The console face: the classic Japanese one where it exists, else a CJK face
// that the client's packages install.
QFont ConsoleFont();
// The debug log's face.
QFont DebugLogFont();

// A read-only, never-shortened log area that the Tab key skips, with a
// vertical scroll bar. Each new line scrolls it to its end. Lines wrap at
// the view's width; the user selects with the mouse across lines, copies
// with Ctrl+C or the context menu, selects all, scrolls with the wheel,
// the scroll bar and the paging keys. The scroll bar counts lines; the
// wheel and the keys move by rows, also through the rows of one long line.
class ConsoleWidget : public QAbstractScrollArea, public ConsoleView, public DebugLog {
 public:
  explicit ConsoleWidget(QWidget* parent = nullptr);
  ~ConsoleWidget() override;

  // ConsoleView: a line in its colour.
  void AddLine(std::string_view cp932Line, Rgb colour) override;
  // DebugLog: plain lines, black.
  void AppendLine(std::string_view cp932Line) override;
  void AppendLines(const std::vector<std::string>& cp932Lines) override;

  const ConsoleLines& lines() const { return lines_; }
  // Every line as shown, a line feed between lines.
  QString toPlainText() const;

  bool hasSelection() const;
  QString selectedText() const;
  void selectAll();
  void copy() const;
  // Copy and select-all, as the context menu offers them.
  std::unique_ptr<QMenu> createContextMenu();

  int rowHeight() const { return rowHeight_; }
  // Rows at the top of the view: the line, and the row within it.
  struct Position {
    size_t line = 0;
    uint32_t row = 0;
    friend auto operator<=>(const Position&, const Position&) = default;
  };
  Position top() const { return top_; }
  // What is held laid out: bounded by what the view shows, whatever the
  // length of the lines.
  size_t laidOutChars() const;
  size_t laidOutRows() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  // Room between the text and the frame, as the plain text controls leave.
  static constexpr int kMargin = 4;
  // A place in the text: a line and a UTF-16 index into it as shown.
  struct TextPos {
    size_t line = 0;
    qsizetype index = 0;
    friend auto operator<=>(const TextPos&, const TextPos&) = default;
  };
  struct RowLayout {
    std::unique_ptr<QTextLayout> layout;
    uint64_t used = 0;
  };
  struct LaidOutLine {
    QString text;
    std::vector<uint32_t> rows;  // where each row starts, at width
    qreal width = 0;
    std::unordered_map<uint32_t, RowLayout> painted;
    uint64_t used = 0;
  };

  void LinesAdded();
  // Works out where the end is and puts the view there when it follows
  // the end; sets the scroll bar. Runs once for any number of new lines.
  void Settle();
  LaidOutLine& Line(size_t line);
  uint32_t RowCount(size_t line) { return static_cast<uint32_t>(Line(line).rows.size()); }
  std::pair<qsizetype, qsizetype> RowSpan(const LaidOutLine& line, uint32_t row) const;
  QTextLayout& Row(LaidOutLine& line, uint32_t row);
  Position EndTop();
  // Moves by rows, never above the first row nor below the end.
  Position Moved(Position from, long rows);
  // Rows from a to b (a <= b), or limit when there are as many or more.
  long RowsBetween(Position a, Position b, long limit);
  void ScrollTo(Position top);
  void ScrollRows(long rows);
  int FullRows() const;
  qreal WrapWidth() const;
  TextPos HitTest(QPoint point);
  TextPos WordStart(TextPos at);
  TextPos WordEnd(TextPos at);
  void SelectionChanged();
  void ForgetLayout();
  void RepaintAll();
  void DropUnused();
  void DropUnusedLines();

  ConsoleLines lines_;
  QFont font_;
  std::unique_ptr<RowBreaker> breaker_;
  qreal wrapWidth_ = 0;
  int rowHeight_ = 1;
  int ascent_ = 0;
  std::unordered_map<size_t, LaidOutLine> laidOut_;
  uint64_t generation_ = 0;
  Position top_;
  bool followEnd_ = true;
  bool dirty_ = false;
  bool settlePosted_ = false;
  bool settingBar_ = false;
  // What the last paint showed, for moving it up instead of repainting.
  std::optional<Position> paintedTop_;
  int paintedBottom_ = 0;
  std::optional<TextPos> anchor_;
  TextPos caret_;
  bool selecting_ = false;
  int wheelRemainder_ = 0;
};

}  // namespace gorvane
