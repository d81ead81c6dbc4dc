#include "game/game_screen.h"

namespace gorvane {

void ListRows::Assign(std::vector<std::string> rows) {
  rows_ = std::move(rows);
  selected_.assign(rows_.size(), false);
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
