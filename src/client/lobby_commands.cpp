// SPDX-License-Identifier: GPL-3.0-or-later
// The lobby's side of the user and party lists, its menu commands and chat,
// and its notices of what other users do.
#include "client/lobby.h"
#include "spine/codec.h"
#include "spine/concat.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane {

void Lobby::createUserList(std::string_view text) { lists_.createUserList(text); }
void Lobby::RefreshUserList() { lists_.RefreshUserList(); }
void Lobby::createGroupList(std::string_view text) { lists_.createGroupList(text); }
void Lobby::RefreshGroupList() { lists_.RefreshGroupList(); }

void Lobby::DispatchQuit(int32_t userId) {
  if (const auto name = lists_.RemoveUser(userId)) {
    PrintLobbyMessage("SYS: " + *name + "さんが退出しました．"_cp932, kBlack);
  }
  lists_.RefreshUserList();
}

void Lobby::Edit2KeyDown(int key) {
  if (key != kEnterKey) return;
  const auto line = chat_.Enter();
  if (!line) return;
  SendCommand("G_CHAT", *line);
  ports_.view.ShowEdit2(chat_.text());
}

void Lobby::ListBox1DblClick() {
  if (const auto* row = lists_.ListBox1().Selected()) SendCommand("G_INFO", std::to_string(row->carried.id));
}

void Lobby::R1Click() { SendCommand("G_LIST", "*"); }
void Lobby::G1Click() { SendCommand("G_PLIST", "*"); }
void Lobby::P1Click() { SendCommand("P_CREATE", "*"); }

void Lobby::J1Click() {
  const auto* row = lists_.ListBox2().Selected();
  if (row == nullptr) return;
  if (row->carried.playing) {
    PrintLobbyMessage("SYS: そのグループはゲーム中です．"_cp932, kRed);
    return;
  }
  SendCommand("P_JOIN", std::to_string(row->carried.number));
}

void Lobby::DispatchUserInfo(std::string_view commaText) {
  // The list starts at the message's field 1: its field n is at n - 1.
  // Read in the order they are printed, so a short message names the first
  // field the line misses.
  const FieldViews fields(commaText);
  const std::string_view name = FieldAt(fields, 1);
  const std::string_view id = FieldAt(fields, 0);
  const std::string_view prize = FieldAt(fields, 3);
  const std::string_view wins = FieldAt(fields, 4);
  PrintLobbyMessage(Concat("SYS: ", name, "さん(ID = "_cp932, id, "): 通産獲得賞金 "_cp932, prize,
                           "ドルム，通産勝数 "_cp932, wins),
                    kBlack);
}

void Lobby::DispatchOtherJoin(int32_t userId, int32_t partyNo) {
  const userlist_t* user = lists_.FindUser(userId);
  const std::string name = user ? user->name : std::string();
  PrintLobbyMessage(
      "SYS: " + name + "さんが "_cp932 + std::to_string(partyNo) + "番パーティに参加しました．"_cp932,
      kBlack);
  SendCommand("G_PLIST", "*");
  if (partyNo != myPartyNo()) return;
  if (GameWindow* game = currentGameWindow()) {
    game->addMyMember(userId, name);
  } else {
    // A roster change with no game window to show it in.
    AppendDebugLine("Error: No Game Window: S_PJOIN," + std::to_string(userId) + "," +
                    std::to_string(partyNo));
  }
}

void Lobby::DispatchRename(int32_t userId, std::string_view name) {
  const userlist_t* user = lists_.FindUser(userId);
  if (user == nullptr) return;
  if (userId == myId()) {
    PrintLobbyMessage("SYS: 名前の変更に成功しました．"_cp932, kBlack);
  } else {
    PrintLobbyMessage(
        "SYS: " + user->name + "さんは，名前を「"_cp932 + std::string(name) + "」に変更しました．"_cp932,
        kBlack);
  }
  if (GameWindow* game = currentGameWindow()) game->doRename(userId, name);
}

void Lobby::DispatchPartyLeave(int32_t userId, int32_t partyNo) {
  const userlist_t* user = lists_.FindUser(userId);
  if (user == nullptr) return;
  PrintLobbyMessage(
      "SYS: " + user->name + "さんが"_cp932 + std::to_string(partyNo) + "番パーティを脱退しました．"_cp932,
      kBlack);
}

}  // namespace gorvane
