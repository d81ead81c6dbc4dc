// SPDX-License-Identifier: GPL-3.0-or-later
// The lobby's tables of connected users and parties, rebuilt from the
// server's S_LIST and S_GLIST, and the two list boxes drawn from them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/list_box.h"
#include "spine/ports.h"

namespace gorvane {

struct userlist_t {
  int32_t id = 0;
  std::string name;
  int32_t group = 0;  // the user's party; 0 for none
};

struct grouplist_t {
  int32_t number = 0;
  int32_t leader = 0;  // the leader's user id
  int32_t count = 0;   // shown after the leader's name
  bool playing = false;
};

// What a row of ListBox1 carries: the user a command on it acts on.
struct UserEntry {
  int32_t id = 0;
  friend bool operator==(const UserEntry&, const UserEntry&) = default;
};

// What a row of ListBox2 carries: the party to join and whether it is in a game.
struct PartyEntry {
  int32_t number = 0;
  bool playing = false;
  friend bool operator==(const PartyEntry&, const PartyEntry&) = default;
};

// "9: name" with " (グループ 3)" for a user in a party.
std::string UserEntryText(const userlist_t& user);
// "5: リーダー name(2)" with " [プレイ中]" for a party in a game.
std::string PartyEntryText(const grouplist_t& party, std::string_view leaderName);

class LobbyLists {
 public:
  explicit LobbyLists(DebugLog& debugLog) : debugLog_(debugLog) {}

  // Rebuild a table from the whole text of the server's message. A record
  // field that cannot be read throws FieldError: the table then holds the
  // records before it, in message order, and its list box is left alone.
  void createUserList(std::string_view message);
  void createGroupList(std::string_view message);
  // Redraw a list box from its table; nothing stays selected.
  void RefreshUserList();
  void RefreshGroupList();

  // The first record with this id, or nullptr.
  const userlist_t* FindUser(int32_t id) const;
  // Takes a departed user out of the table (and out of ListBox1 when it shows
  // the table as it is); returns the user's name, or nothing when unknown.
  std::optional<std::string> RemoveUser(int32_t id);

  const std::vector<userlist_t>& userList() const { return userList_; }
  const std::vector<grouplist_t>& groupList() const { return groupList_; }
  ListBox<UserEntry>& ListBox1() { return listBox1_; }
  ListBox<PartyEntry>& ListBox2() { return listBox2_; }

 private:
  std::optional<size_t> IndexOfUser(int32_t id) const;

  DebugLog& debugLog_;
  std::vector<userlist_t> userList_;
  std::vector<grouplist_t> groupList_;
  // A failed S_LIST leaves the table in message order; lookups then scan it.
  bool usersSorted_ = true;
  // ListBox1 shows userList_ as it is, so a departure removes one row
  // instead of redrawing thousands.
  bool userRowsCurrent_ = true;
  ListBox<UserEntry> listBox1_;
  ListBox<PartyEntry> listBox2_;
};

}  // namespace gorvane
