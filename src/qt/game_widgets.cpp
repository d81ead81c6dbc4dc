// SPDX-License-Identifier: GPL-3.0-or-later
#include "qt/game_widgets.h"

#include <QEvent>
#include <QHeaderView>
#include <QPainter>
#include <QPixmap>
#include <QSignalBlocker>
#include <algorithm>

#include "qt/qt_text.h"

namespace gorvane {
namespace {

constexpr int kIconSize = 11;

struct Column {
  const char16_t* heading;
  int width;  // 0: takes the rest of the list's width
  Qt::Alignment alignment;
};

constexpr Column kColumns[] = {
    {u"", 15, Qt::AlignLeft},     {u"", 35, Qt::AlignRight},       {u"名前", 100, Qt::AlignLeft},
    {u"位置", 80, Qt::AlignLeft}, {u"手札", 40, Qt::AlignHCenter}, {u"モンスター", 0, Qt::AlignLeft},
};
constexpr int kColumnCount = static_cast<int>(std::size(kColumns));

// Keeps the last column as wide as the others leave of the list, growing and
// shrinking with it, down to the narrowest column. (A stretched last section
// never gets narrower than it was when it was set to stretch.)
class FillLastColumn : public QObject {
 public:
  explicit FillLastColumn(QTreeWidget& list) : QObject(&list), list_(list) {
    list.viewport()->installEventFilter(this);
    connect(list.header(), &QHeaderView::sectionResized, this, [this](int column) {
      if (column != kColumnCount - 1) Fill();
    });
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Resize) Fill();
    return QObject::eventFilter(watched, event);
  }

 private:
  void Fill() {
    QHeaderView& header = *list_.header();
    int others = 0;
    for (int c = 0; c < kColumnCount - 1; ++c) others += header.sectionSize(c);
    header.resizeSection(kColumnCount - 1,
                         std::max(header.minimumSectionSize(), list_.viewport()->width() - others));
  }

  QTreeWidget& list_;
};

}  // namespace

std::array<QIcon, 2> MakeRowIcons() {
  QPixmap blank(kIconSize, kIconSize);
  blank.fill(Qt::transparent);
  QPixmap turn(kIconSize, kIconSize);
  turn.fill(Qt::transparent);
  QPainter painter(&turn);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0, 0, 255));
  const QPointF triangle[] = {{2.0, 1.0}, {10.0, 5.5}, {2.0, 10.0}};
  painter.drawPolygon(triangle, 3);
  painter.end();
  return {QIcon(blank), QIcon(turn)};
}

void SetUpMemberList(QTreeWidget& list) {
  list.setColumnCount(kColumnCount);
  list.setRootIsDecorated(false);
  list.setItemsExpandable(false);
  list.setUniformRowHeights(true);
  list.setSelectionMode(QAbstractItemView::SingleSelection);
  list.setSelectionBehavior(QAbstractItemView::SelectRows);
  list.setEditTriggers(QAbstractItemView::NoEditTriggers);
  list.setIconSize(QSize(kIconSize, kIconSize));
  // The narrow columns keep their widths: the style's minimum would widen
  // them.
  const int narrowest = kColumns[0].width;
  list.header()->setMinimumSectionSize(narrowest);
  QTreeWidgetItem* header = list.headerItem();
  for (int c = 0; c < kColumnCount; ++c) {
    header->setText(c, QString::fromUtf16(kColumns[c].heading));
    header->setTextAlignment(c, kColumns[c].alignment | Qt::AlignVCenter);
    list.setColumnWidth(c, kColumns[c].width > 0 ? kColumns[c].width : narrowest);
  }
  list.header()->setStretchLastSection(false);
  new FillLastColumn(list);
  list.header()->setSectionsMovable(false);
}

void DrawMemberList(QTreeWidget& list, const std::vector<MemberRow>& rows, const std::array<QIcon, 2>& icons,
                    std::optional<size_t> selection) {
  const QSignalBlocker blocker(list);
  list.clear();
  for (size_t r = 0; r < rows.size(); ++r) {
    auto* item = new QTreeWidgetItem(&list);
    item->setIcon(0, icons[rows[r].icon == kTurnIcon ? 1 : 0]);
    for (int c = 1; c < kColumnCount; ++c) {
      item->setText(c, ToQString(rows[r].columns[static_cast<size_t>(c - 1)]));
      item->setTextAlignment(c, kColumns[c].alignment | Qt::AlignVCenter);
    }
    if (selection == r) item->setSelected(true);
  }
}

void DrawRows(QListWidget& list, const ListRows& rows) {
  const QSignalBlocker blocker(list);
  list.clear();
  for (size_t r = 0; r < rows.rows().size(); ++r) {
    auto* item = new QListWidgetItem(ToQString(rows.rows()[r]), &list);
    if (rows.IsSelected(r)) item->setSelected(true);
  }
}

int ApplyHandExtent(QListWidget& list) {
  int extent = list.viewport()->width();
  const QFontMetrics metrics(list.font());
  for (int r = 0; r < list.count(); ++r) {
    extent = std::max(extent, metrics.horizontalAdvance(list.item(r)->text()) + 3);
  }
  // A list box lays its rows out as wide as its widest row: making every row
  // that wide sets how far the list scrolls sideways.
  for (int r = 0; r < list.count(); ++r) {
    QListWidgetItem* item = list.item(r);
    item->setSizeHint(QSize());
    item->setSizeHint(QSize(extent, list.sizeHintForRow(r)));
  }
  return extent;
}

}  // namespace gorvane
