// SPDX-License-Identifier: GPL-3.0-or-later
// The party's members as the game window knows them, one record per user id,
// kept in ascending id order between changes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace gorvane {

class CardCatalogue;

inline constexpr size_t kCorridorSlots = 30;

struct party_t {
  int32_t id = 0;
  std::string name;
  bool isTurn = false;
  // Corridor cards on the current leg.
  int32_t corridorCount = 0;
  bool atTreasure = false;
  bool returning = false;
  int32_t distance = 0;
  // Card number of the attached monster; -1 for none.
  int32_t monster = -1;
  int32_t handCount = 7;
  int32_t treasure = 0;
  // Values of the corridor cards on the current leg: slot k holds the k-th
  // card, 1 to 30; slot 0 is not used.
  std::array<int32_t, kCorridorSlots + 1> corridor{};
  int32_t fightBonus = 0;
  bool playedThisTurn = false;
};

// Icons of the member list rows.
inline constexpr int kBlankIcon = 0;
inline constexpr int kTurnIcon = 1;

// One row of the member list: the icon and the texts of columns 1 to 5
// (column 0 shows the icon only).
struct MemberRow {
  int icon = kBlankIcon;
  std::array<std::string, 5> columns;
  friend bool operator==(const MemberRow&, const MemberRow&) = default;
};

class PartyRoster {
 public:
  std::vector<party_t> members;
  // No leader is known until a roster names one.
  int32_t leaderId = 0;
  // The own record is looked up by id: records come and go and the list is
  // re-sorted, so a reference to one would not stay valid.
  std::optional<int32_t> ownId;

  party_t* Find(int32_t id);
  const party_t* Find(int32_t id) const;
  // The own record, or nullptr while the roster has none.
  party_t* ownMember();

  // Adds the record, or replaces the one with the same id: a user is never
  // listed twice. Does not sort.
  void Put(party_t record);
  // Removes the record with the id; false when there is none.
  bool Remove(int32_t id);
  void SortById();

  // The member's name, or "Error! No Such User!" for an unknown id or an
  // empty name.
  std::string MemberName(int32_t id) const;

  // The rows of the member list, in the order of members.
  std::vector<MemberRow> Rows(const CardCatalogue& catalogue) const;
};

// "Go: 35", "Back: 65", "@Room: 100" or "@Entrance".
std::string PositionText(const party_t& member);

}  // namespace gorvane
