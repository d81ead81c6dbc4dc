// The state of the game window's controls, owned by the logic. The window
// draws it and hands the user's selections back.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "game/party_roster.h"

namespace gorvane {

// A list box: its rows and which of them are selected.
class ListRows {
 public:
  const std::vector<std::string>& rows() const { return rows_; }
  // Replaces every row; nothing stays selected.
  void Assign(std::vector<std::string> rows);
  void Clear() { Assign({}); }
  // Adds a row at the end; the selection stays.
  void Append(std::string row) {
    rows_.push_back(std::move(row));
    selected_.push_back(false);
  }
  void RemoveLast() {
    if (rows_.empty()) return;
    rows_.pop_back();
    selected_.pop_back();
  }
  size_t size() const { return rows_.size(); }
  // Rows outside the list are ignored.
  void Select(size_t row, bool selected);
  bool IsSelected(size_t row) const { return row < selected_.size() && selected_[row]; }
  // Selected rows in ascending order.
  std::vector<size_t> Selection() const;

 private:
  std::vector<std::string> rows_;
  std::vector<bool> selected_;
};

struct GameScreen {
  std::vector<MemberRow> memberList;
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
