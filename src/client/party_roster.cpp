// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/party_roster.h"

#include <algorithm>

#include "rules/card_catalogue.h"

namespace gorvane {

party_t* PartyRoster::Find(int32_t id) {
  auto it = std::find_if(members.begin(), members.end(), [id](const party_t& m) { return m.id == id; });
  return it == members.end() ? nullptr : &*it;
}

const party_t* PartyRoster::Find(int32_t id) const { return const_cast<PartyRoster*>(this)->Find(id); }

party_t* PartyRoster::ownMember() { return ownId ? Find(*ownId) : nullptr; }

void PartyRoster::Put(party_t record) {
  if (party_t* existing = Find(record.id)) {
    *existing = std::move(record);
  } else {
    members.push_back(std::move(record));
  }
}

bool PartyRoster::Remove(int32_t id) {
  auto it = std::find_if(members.begin(), members.end(), [id](const party_t& m) { return m.id == id; });
  if (it == members.end()) return false;
  members.erase(it);
  return true;
}

void PartyRoster::SortById() {
  std::stable_sort(members.begin(), members.end(),
                   [](const party_t& a, const party_t& b) { return a.id < b.id; });
}

std::string PartyRoster::MemberName(int32_t id) const {
  const party_t* member = Find(id);
  if (member == nullptr || member->name.empty()) return "Error! No Such User!";
  return member->name;
}

std::vector<MemberRow> PartyRoster::Rows(const CardCatalogue& catalogue) const {
  std::vector<MemberRow> rows;
  rows.reserve(members.size());
  for (const party_t& m : members) {
    MemberRow row;
    row.icon = m.isTurn ? kTurnIcon : kBlankIcon;
    row.columns[0] = (m.id == leaderId ? "* " : "") + std::to_string(m.id);
    row.columns[1] = m.name;
    row.columns[2] = PositionText(m);
    row.columns[3] = std::to_string(m.handCount);
    if (m.monster != -1) row.columns[4] = catalogue.Card(m.monster).name;
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string PositionText(const party_t& member) {
  const std::string distance = std::to_string(member.distance);
  if (member.corridorCount != 0) return (member.returning ? "Back: " : "Go: ") + distance;
  if (member.returning) return "@Room: " + distance;
  return "@Entrance";
}

}  // namespace gorvane
