// SPDX-License-Identifier: GPL-3.0-or-later
// The state of the game window's controls, owned by the logic. The window
// draws it and hands the user's selections back.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client/party_roster.h"

namespace gorvane {

// Rows whose texts are made when something first reads them. The logic
// replaces some lists after nearly every message of a game, while only a
// window that draws them reads them: without a window, or between two
// draws, they cost nothing.
template <typename Row>
class LazyRows {
 public:
  using Make = std::function<std::vector<Row>()>;

  const std::vector<Row>& rows() const {
    if (make_) {
      rows_ = make_();
      make_ = nullptr;
    }
    return rows_;
  }
  void Assign(std::vector<Row> rows) {
    rows_ = std::move(rows);
    make_ = nullptr;
  }
  // The rows are what make() returns when they are first read.
  void AssignLater(Make make) { make_ = std::move(make); }
  // The rows, made now if need be, to change in place.
  std::vector<Row>& Edit() {
    rows();
    return rows_;
  }

 private:
  mutable std::vector<Row> rows_;
  mutable Make make_;
};

// A list box: its rows and which of them are selected.
class ListRows {
 public:
  const std::vector<std::string>& rows() const { return texts_.rows(); }
  // Replaces every row; nothing stays selected.
  void Assign(std::vector<std::string> rows);
  // Replaces every row with count rows whose texts make() returns when they
  // are first read; nothing stays selected.
  void AssignLater(size_t count, LazyRows<std::string>::Make make);
  void Clear() { Assign({}); }
  // Adds a row at the end; the selection stays.
  void Append(std::string row);
  void RemoveLast();
  size_t size() const { return selected_.size(); }
  // Rows outside the list are ignored.
  void Select(size_t row, bool selected);
  bool IsSelected(size_t row) const { return row < selected_.size() && selected_[row]; }
  // Selected rows in ascending order.
  std::vector<size_t> Selection() const;

 private:
  LazyRows<std::string> texts_;
  std::vector<bool> selected_;
};

struct GameScreen {
  LazyRows<MemberRow> memberList;
  // The member list lets one row be selected.
  std::optional<size_t> memberSelection;
  ListRows handList;
  ListRows corridorList;
  ListRows charmBox;
  std::string monsterText;      // Edit2
  std::string distanceCaption;  // Label3
  bool drawEnabled = false;     // Button1
  bool playEnabled = false;     // Button3
  bool pileEnabled = false;     // Button4
  bool turnEndEnabled = false;  // Button2
  bool startEnabled = true;     // S1
};

// What the logic tells its window: which parts of the screen to redraw.
class GameView {
 public:
  enum Part : unsigned {
    kMemberList = 1u << 0,
    kHandList = 1u << 1,
    kCorridorList = 1u << 2,
    kCharmBox = 1u << 3,
    kMonster = 1u << 4,
    kDistance = 1u << 5,
    kButtons = 1u << 6,
    kStartItem = 1u << 7,
    kChatLine = 1u << 8,
    kAll = (1u << 9) - 1,
  };
  virtual ~GameView() = default;
  virtual void Redraw(unsigned parts) = 0;
  // The player's turn has begun: a window the player is not looking at asks
  // the desktop to draw their eye to it. Nothing where there is no window.
  virtual void TurnAlert() {}
};

}  // namespace gorvane
