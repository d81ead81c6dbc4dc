// SPDX-License-Identifier: GPL-3.0-or-later
#include "qt/list_box_view.h"

#include <QAbstractListModel>
#include <QItemSelectionModel>

#include "qt/captions.h"
#include "qt/qt_text.h"

namespace gorvane {

// The rows as a Qt model. Texts are converted only when a row is drawn.
class ListBoxView::Model : public QAbstractListModel {
 public:
  Model(const ListBoxRows& rows, QObject* parent) : QAbstractListModel(parent), rows_(&rows) {}

  int rowCount(const QModelIndex& parent) const override {
    return parent.isValid() || rows_ == nullptr ? 0 : static_cast<int>(rows_->size());
  }
  QVariant data(const QModelIndex& index, int role) const override {
    if (role != Qt::DisplayRole || rows_ == nullptr || !index.isValid()) return {};
    return ToQString(rows_->text(static_cast<size_t>(index.row())));
  }

  void Detach() {
    beginResetModel();
    rows_ = nullptr;
    endResetModel();
  }
  void BeginReset() { beginResetModel(); }
  void EndReset() { endResetModel(); }
  void BeginRemoveRow(int row) { beginRemoveRows(QModelIndex(), row, row); }
  void EndRemoveRow() { endRemoveRows(); }

 private:
  const ListBoxRows* rows_;
};

ListBoxView::ListBoxView(ListBoxRows& rows, QWidget* parent)
    : QListView(parent), rows_(&rows), model_(new Model(rows, this)) {
  setModel(model_);
  setUniformItemSizes(true);
  ClipRows(*this);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { TakeSelection(); });
  rows.SetObserver(this);
  ShowSelection();
}

ListBoxView::~ListBoxView() {
  if (rows_ != nullptr) rows_->SetObserver(nullptr);
}

void ListBoxView::Detach() {
  if (rows_ == nullptr) return;
  rows_->SetObserver(nullptr);
  rows_ = nullptr;
  model_->Detach();
}

void ListBoxView::mouseDoubleClickEvent(QMouseEvent* event) {
  QListView::mouseDoubleClickEvent(event);
  if (onDoubleClick_) onDoubleClick_();
}

void ListBoxView::BeginReset() {
  changing_ = true;
  model_->BeginReset();
}

void ListBoxView::EndReset() {
  model_->EndReset();
  ShowSelection();
  changing_ = false;
}

void ListBoxView::BeginRemoveRow(size_t row) {
  changing_ = true;
  model_->BeginRemoveRow(static_cast<int>(row));
}

void ListBoxView::EndRemoveRow() {
  model_->EndRemoveRow();
  ShowSelection();
  changing_ = false;
}

void ListBoxView::ShowSelection() {
  const bool wasChanging = changing_;
  changing_ = true;
  const auto row = rows_ != nullptr ? rows_->selection() : std::nullopt;
  if (row) {
    selectionModel()->setCurrentIndex(model_->index(static_cast<int>(*row)),
                                      QItemSelectionModel::ClearAndSelect);
  } else {
    selectionModel()->clearSelection();
  }
  changing_ = wasChanging;
}

void ListBoxView::TakeSelection() {
  if (changing_ || rows_ == nullptr) return;
  const QModelIndexList selected = selectionModel()->selectedIndexes();
  rows_->Select(selected.isEmpty() ? std::nullopt : std::optional<size_t>(selected.first().row()));
}

}  // namespace gorvane
