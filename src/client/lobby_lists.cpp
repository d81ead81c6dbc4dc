// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/lobby_lists.h"

#include <algorithm>
#include <unordered_map>

#include "spine/codec.h"
#include "spine/concat.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane {
namespace {

// One record per key: a key the server repeats replaces its earlier record,
// which keeps its place in message order.
template <typename Record, typename Key>
class UniqueRecords {
 public:
  UniqueRecords(std::vector<Record>& table, size_t expected) : table_(table) { at_.reserve(expected); }
  void Put(Key key, Record record) {
    const auto [it, fresh] = at_.try_emplace(key, table_.size());
    if (fresh) {
      table_.push_back(std::move(record));
    } else {
      table_[it->second] = std::move(record);
    }
  }

 private:
  std::vector<Record>& table_;
  std::unordered_map<Key, size_t> at_;
};

// The debug-log line of each record read, written together when the list
// ends, or when a bad record ends it early: the log then shows the records
// read before it, as it would line by line.
class TraceLines {
 public:
  TraceLines(DebugLog& log, size_t expected) : log_(log) { lines_.reserve(expected); }
  ~TraceLines() {
    if (!written_) log_.AppendLines(lines_);
  }
  TraceLines(const TraceLines&) = delete;
  TraceLines& operator=(const TraceLines&) = delete;
  void Add(std::string line) { lines_.push_back(std::move(line)); }
  void Write() {
    written_ = true;
    log_.AppendLines(lines_);
  }

 private:
  DebugLog& log_;
  std::vector<std::string> lines_;
  bool written_ = false;
};

}  // namespace

std::string UserEntryText(const userlist_t& user) {
  static const std::string kGroup = " (グループ "_cp932;
  std::string text = std::to_string(user.id) + ": " + user.name;
  if (user.group != 0) text += kGroup + std::to_string(user.group) + ")";
  return text;
}

std::string PartyEntryText(const grouplist_t& party, std::string_view leaderName) {
  static const std::string kLeader = ": リーダー "_cp932;
  static const std::string kPlaying = " [プレイ中]"_cp932;
  std::string text = std::to_string(party.number) + kLeader;
  text.append(leaderName);
  text += "(" + std::to_string(party.count) + ")";
  if (party.playing) text += kPlaying;
  return text;
}

void LobbyLists::createUserList(std::string_view message) {
  const FieldViews fields(message);
  userList_.clear();
  usersSorted_ = false;
  userRowsCurrent_ = false;
  UniqueRecords<userlist_t, int32_t> records(userList_, fields.size());
  TraceLines traces(debugLog_, fields.size());
  FieldViews parts;
  for (size_t i = 1; i < fields.size(); ++i) {
    const std::string_view field = fields[i];
    parts.Split(field, ':');
    userlist_t user;
    user.id = IntegerAt(parts, 0);
    user.name = FieldAt(parts, 1);
    user.group = IntegerAt(parts, 2);
    std::string trace = Concat("createUserList: ", field, "name = ", user.name);
    records.Put(user.id, std::move(user));
    traces.Add(std::move(trace));
  }
  traces.Write();
  std::stable_sort(userList_.begin(), userList_.end(),
                   [](const userlist_t& a, const userlist_t& b) { return a.id < b.id; });
  usersSorted_ = true;
}

void LobbyLists::createGroupList(std::string_view message) {
  const FieldViews fields(message);
  groupList_.clear();
  UniqueRecords<grouplist_t, int32_t> records(groupList_, fields.size());
  TraceLines traces(debugLog_, fields.size());
  FieldViews parts;
  for (size_t i = 1; i < fields.size(); ++i) {
    const std::string_view field = fields[i];
    parts.Split(field, ':');
    grouplist_t party;
    party.number = IntegerAt(parts, 0);
    party.leader = IntegerAt(parts, 1);
    party.count = IntegerAt(parts, 2);
    // Only 1 means a game is running; any other number does not.
    party.playing = IntegerAt(parts, 3) == 1;
    records.Put(party.number, party);
    traces.Add(Concat("createGroupList: ", field));
  }
  traces.Write();
  std::stable_sort(groupList_.begin(), groupList_.end(),
                   [](const grouplist_t& a, const grouplist_t& b) { return a.number < b.number; });
}

void LobbyLists::RefreshUserList() {
  // Rows already in step need no rebuild; the selection goes all the same,
  // as with a rebuild, so that a departure does not leave it behind.
  if (userRowsCurrent_) {
    listBox1_.ClearSelection();
    return;
  }
  std::vector<ListBox<UserEntry>::Row> rows;
  rows.reserve(userList_.size());
  for (const userlist_t& user : userList_) rows.push_back({UserEntryText(user), {user.id}});
  listBox1_.Assign(std::move(rows));
  userRowsCurrent_ = true;
}

void LobbyLists::RefreshGroupList() {
  std::vector<ListBox<PartyEntry>::Row> rows;
  rows.reserve(groupList_.size());
  for (const grouplist_t& party : groupList_) {
    // A leader the user table does not know is shown by number: the party
    // still needs its row to be joined.
    const userlist_t* leader = FindUser(party.leader);
    const std::string text =
        leader ? PartyEntryText(party, leader->name) : PartyEntryText(party, std::to_string(party.leader));
    rows.push_back({text, {party.number, party.playing}});
  }
  listBox2_.Assign(std::move(rows));
}

std::optional<size_t> LobbyLists::IndexOfUser(int32_t id) const {
  if (usersSorted_) {
    const auto it = std::lower_bound(userList_.begin(), userList_.end(), id,
                                     [](const userlist_t& user, int32_t key) { return user.id < key; });
    if (it != userList_.end() && it->id == id) return static_cast<size_t>(it - userList_.begin());
    return std::nullopt;
  }
  const auto it = std::find_if(userList_.begin(), userList_.end(),
                               [id](const userlist_t& user) { return user.id == id; });
  if (it == userList_.end()) return std::nullopt;
  return static_cast<size_t>(it - userList_.begin());
}

const userlist_t* LobbyLists::FindUser(int32_t id) const {
  const auto index = IndexOfUser(id);
  return index ? &userList_[*index] : nullptr;
}

std::optional<std::string> LobbyLists::RemoveUser(int32_t id) {
  const auto index = IndexOfUser(id);
  if (!index) return std::nullopt;
  const auto record = userList_.begin() + static_cast<std::ptrdiff_t>(*index);
  if (userRowsCurrent_) {
    const auto row = listBox1_.Find(UserEntryText(*record), UserEntry{id});
    if (row) {
      listBox1_.RemoveAt(*row);
    } else {
      userRowsCurrent_ = false;  // out of step somehow: redraw it whole
    }
  }
  std::string name = std::move(record->name);
  userList_.erase(record);
  return name;
}

}  // namespace gorvane
