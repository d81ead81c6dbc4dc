// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/game_screen.h"

namespace gorvane {

void ListRows::Assign(std::vector<std::string> rows) {
  selected_.assign(rows.size(), false);
  texts_.Assign(std::move(rows));
}

void ListRows::AssignLater(size_t count, LazyRows<std::string>::Make make) {
  selected_.assign(count, false);
  texts_.AssignLater(std::move(make));
}

void ListRows::Append(std::string row) {
  texts_.Edit().push_back(std::move(row));
  selected_.push_back(false);
}

void ListRows::RemoveLast() {
  if (selected_.empty()) return;
  texts_.Edit().pop_back();
  selected_.pop_back();
}

void ListRows::Select(size_t row, bool selected) {
  if (row < selected_.size()) selected_[row] = selected;
}

std::vector<size_t> ListRows::Selection() const {
  std::vector<size_t> rows;
  for (size_t i = 0; i < selected_.size(); ++i) {
    if (selected_[i]) rows.push_back(i);
  }
  return rows;
}

}  // namespace gorvane
