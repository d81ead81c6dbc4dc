// The lobby's side of the user and party lists, its menu commands and chat,
// and its notices of what other users do.
#include "core/codec.h"
#include "core/fields.h"
#include "core/sjis.h"
#include "lobby/lobby.h"

namespace gorvane {

void Lobby::createUserList(std::string_view text) { lists_.createUserList(text); }
void Lobby::RefreshUserList() { lists_.RefreshUserList(); }
void Lobby::createGroupList(std::string_view text) { lists_.createGroupList(text); }
void Lobby::RefreshGroupList() { lists_.RefreshGroupList(); }

void Lobby::DispatchQuit(int32_t userId) {
  if (const auto name = lists_.RemoveUser(userId)) {
    PrintLobbyMessage("SYS: " + *name + sjis::Text("さんが退出しました．"), kBlack);
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
    PrintLobbyMessage(sjis::Text("SYS: そのグループはゲーム中です．"), kRed);
    return;
  }
  SendCommand("P_JOIN", std::to_string(row->carried.number));
}

void Lobby::DispatchUserInfo(std::string_view commaText) {
  // The list starts at the message's field 1: its field n is at n - 1.
  // Read in the order they are printed, so a short message names the first
  // field the line misses.
  const Fields fields = SplitCommaText(commaText);
  const std::string& name = FieldAt(fields, 1);
  const std::string& id = FieldAt(fields, 0);
  const std::string& prize = FieldAt(fields, 3);
  const std::string& wins = FieldAt(fields, 4);
  PrintLobbyMessage("SYS: " + name + sjis::Text("さん(ID = ") + id + sjis::Text("): 通産獲得賞金 ") + prize +
                        sjis::Text("ドルム，通産勝数 ") + wins,
                    kBlack);
}

void Lobby::DispatchOtherJoin(int32_t userId, int32_t partyNo) {
  const userlist_t* user = lists_.FindUser(userId);
  const std::string name = user ? user->name : std::string();
  PrintLobbyMessage("SYS: " + name + sjis::Text("さんが ") + std::to_string(partyNo) +
                        sjis::Text("番パーティに参加しました．"),
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
    PrintLobbyMessage(sjis::Text("SYS: 名前の変更に成功しました．"), kBlack);
  } else {
    PrintLobbyMessage("SYS: " + user->name + sjis::Text("さんは，名前を「") + std::string(name) +
                          sjis::Text("」に変更しました．"),
                      kBlack);
  }
  if (GameWindow* game = currentGameWindow()) game->doRename(userId, name);
}

void Lobby::DispatchPartyLeave(int32_t userId, int32_t partyNo) {
  const userlist_t* user = lists_.FindUser(userId);
  if (user == nullptr) return;
  PrintLobbyMessage("SYS: " + user->name + sjis::Text("さんが") + std::to_string(partyNo) +
                        sjis::Text("番パーティを脱退しました．"),
                    kBlack);
}

}  // namespace gorvane
