// SPDX-License-Identifier: GPL-3.0-or-later
// The rows of a list box as the logic owns them: each row's text, the values
// its commands act on, and the selection. The list keeps its rows in text
// order; the window only draws them and reports the user's selection.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gorvane {

// Ascending, case-insensitive text order of list box rows ("10: ..." before
// "9: ..."): bytes compared with ASCII letters folded; a double-byte
// character is one unit, and its trail byte is never folded.
int CompareListText(std::string_view a, std::string_view b);
inline bool ListTextLess(std::string_view a, std::string_view b) { return CompareListText(a, b) < 0; }

// Told before and after the rows change, so that a view can keep its own
// bookkeeping (a Qt model's begin/end calls) in step.
class ListBoxObserver {
 public:
  virtual ~ListBoxObserver() = default;
  virtual void BeginReset() = 0;
  virtual void EndReset() = 0;
  virtual void BeginRemoveRow(size_t row) = 0;
  virtual void EndRemoveRow() = 0;
  // The logic took the selection away; the rows stay as they are.
  virtual void SelectionCleared() = 0;
};

// What a view needs of a list box, whatever its rows carry.
class ListBoxRows {
 public:
  virtual ~ListBoxRows() = default;
  virtual size_t size() const = 0;
  virtual const std::string& text(size_t row) const = 0;

  std::optional<size_t> selection() const { return selection_; }
  // A row outside the list selects nothing.
  void Select(std::optional<size_t> row) { selection_ = row && *row < size() ? row : std::nullopt; }
  void ClearSelection() {
    selection_.reset();
    if (observer_) observer_->SelectionCleared();
  }
  void SetObserver(ListBoxObserver* observer) { observer_ = observer; }

 protected:
  std::optional<size_t> selection_;
  ListBoxObserver* observer_ = nullptr;
};

template <typename Carried>
class ListBox : public ListBoxRows {
 public:
  struct Row {
    std::string text;
    Carried carried;
  };

  size_t size() const override { return rows_.size(); }
  const std::string& text(size_t row) const override { return rows_[row].text; }
  const Row& row(size_t index) const { return rows_[index]; }
  const Row* Selected() const { return selection_ ? &rows_[*selection_] : nullptr; }

  // Empties the list and adds the rows; each takes its place in text order,
  // rows of equal text in the order given. Nothing is selected afterwards.
  void Assign(std::vector<Row> rows) {
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row& a, const Row& b) { return ListTextLess(a.text, b.text); });
    if (observer_) observer_->BeginReset();
    rows_ = std::move(rows);
    selection_.reset();
    if (observer_) observer_->EndReset();
  }

  // The row with this text that carries these values, found by the text order.
  std::optional<size_t> Find(std::string_view text, const Carried& carried) const {
    auto it = std::lower_bound(rows_.begin(), rows_.end(), text,
                               [](const Row& r, std::string_view t) { return ListTextLess(r.text, t); });
    for (; it != rows_.end() && CompareListText(it->text, text) == 0; ++it) {
      if (it->text == text && it->carried == carried) return static_cast<size_t>(it - rows_.begin());
    }
    return std::nullopt;
  }

  // Removes one row; the selection stays on the row it was on, or goes when
  // that row is the one removed.
  void RemoveAt(size_t index) {
    if (observer_) observer_->BeginRemoveRow(index);
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(index));
    if (selection_ && *selection_ == index) {
      selection_.reset();
    } else if (selection_ && *selection_ > index) {
      --*selection_;
    }
    if (observer_) observer_->EndRemoveRow();
  }

 private:
  std::vector<Row> rows_;
};

}  // namespace gorvane
