// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/game_room.h"

#include "spine/codec.h"
#include "spine/concat.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane {

GameRoom::GameRoom(LobbyLinks lobby, Console& console, GameView& view)
    : lobby_(std::move(lobby)), console_(console), view_(view) {
  screen_.distanceCaption = "移動距離 = 0"_cp932;
  lobby_.commands.SendCommand("P_LIST", "*");
}

void GameRoom::createPartyList(std::string_view commaText) {
  roster_.members.clear();
  FieldViews parts;
  for (const std::string_view item : FieldViews(commaText)) {
    // The colon split also cuts at blanks: a name keeps its first word.
    parts.Split(item, ':');
    party_t record;
    record.id = IntegerAt(parts, 0);
    const std::string_view name = FieldAt(parts, 2);
    record.name = name;
    if (IntegerAt(parts, 1) == 1) roster_.leaderId = record.id;
    const int32_t id = record.id;
    roster_.Put(std::move(record));
    lobby_.debugLog.AppendLine(Concat("createPartyList: ", item, "#13#10name = ", name));
    if (id == myId()) roster_.ownId = id;
  }
  roster_.SortById();
  // Only the leader starts a game; the item comes back with the game's end.
  if (myId() != roster_.leaderId && screen_.startEnabled) {
    screen_.startEnabled = false;
    view_.Redraw(GameView::kStartItem);
  }
}

void GameRoom::RefreshPartyList() {
  // Made from the roster when the window draws them.
  screen_.memberList.AssignLater([this] { return roster_.Rows(lobby_.catalogue); });
  screen_.memberSelection.reset();
  view_.Redraw(GameView::kMemberList);
}

void GameRoom::ChangeLeader(int32_t userId) {
  roster_.leaderId = userId;
  PrintMessage("SYS: " + MemberName(userId) + "さんがリーダーになりました．"_cp932, kBlack);
  RefreshPartyList();
}

void GameRoom::addMyMember(int32_t userId, std::string_view name) {
  party_t record;
  record.id = userId;
  record.name = name;
  roster_.Put(std::move(record));
  PrintMessage("SYS: " + std::string(name) + "さんが参戦しました"_cp932, kBlack);
  roster_.SortById();
  RefreshPartyList();
}

void GameRoom::quitMember(int32_t userId) {
  std::string line = "SYS: " + MemberName(userId) + "さんが脱退しました．"_cp932;
  roster_.Remove(userId);
  unsigned redraw = 0;
  if (state_.gameRunning) {
    line += "ゲームを中断します．"_cp932;
    screen_.corridorList.Clear();
    screen_.handList.Clear();
    state_.gameRunning = false;
    redraw |= GameView::kCorridorList | GameView::kHandList;
  }
  if (myId() == roster_.leaderId) {
    screen_.startEnabled = true;
    redraw |= GameView::kStartItem;
  }
  if (redraw != 0) view_.Redraw(redraw);
  PrintMessage(line, kBlack);
  roster_.SortById();
  RefreshPartyList();
}

void GameRoom::doRename(int32_t userId, std::string_view name) {
  if (party_t* member = roster_.Find(userId)) {
    PrintMessage(
        "SYS: " + member->name + "さんは，名前を「"_cp932 + std::string(name) + "」に変更しました．"_cp932,
        kBlack);
    member->name = name;
  }
  RefreshPartyList();
}

}  // namespace gorvane
