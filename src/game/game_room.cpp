#include "game/game_room.h"

#include "core/codec.h"
#include "core/fields.h"
#include "core/sjis.h"

namespace gorvane {

GameRoom::GameRoom(LobbyLinks lobby, Console& console, GameView& view)
    : lobby_(std::move(lobby)), console_(console), view_(view) {
  screen_.distanceCaption = sjis::Text("移動距離 = 0");
  lobby_.commands.SendCommand("P_LIST", "*");
}

void GameRoom::createPartyList(std::string_view commaText) {
  roster_.members.clear();
  for (const std::string& item : SplitCommaText(commaText)) {
    // The colon split also cuts at blanks: a name keeps its first word.
    const Fields parts = SplitDelimitedText(item, ':');
    party_t record;
    record.id = IntegerAt(parts, 0);
    record.name = FieldAt(parts, 2);
    if (IntegerAt(parts, 1) == 1) roster_.leaderId = record.id;
    const int32_t id = record.id;
    const std::string name = record.name;
    roster_.Put(std::move(record));
    lobby_.debugLog.AppendLine("createPartyList: " + item + "#13#10name = " + name);
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
  screen_.memberList = roster_.Rows(lobby_.catalogue);
  screen_.memberSelection.reset();
  view_.Redraw(GameView::kMemberList);
}

void GameRoom::ChangeLeader(int32_t userId) {
  roster_.leaderId = userId;
  PrintMessage("SYS: " + MemberName(userId) + sjis::Text("さんがリーダーになりました．"), kBlack);
  RefreshPartyList();
}

void GameRoom::addMyMember(int32_t userId, std::string_view name) {
  party_t record;
  record.id = userId;
  record.name = name;
  roster_.Put(std::move(record));
  PrintMessage("SYS: " + std::string(name) + sjis::Text("さんが参戦しました"), kBlack);
  roster_.SortById();
  RefreshPartyList();
}

void GameRoom::quitMember(int32_t userId) {
  std::string line = "SYS: " + MemberName(userId) + sjis::Text("さんが脱退しました．");
  roster_.Remove(userId);
  unsigned redraw = 0;
  if (state_.gameRunning) {
    line += sjis::Text("ゲームを中断します．");
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
    PrintMessage("SYS: " + member->name + sjis::Text("さんは，名前を「") + std::string(name) +
                     sjis::Text("」に変更しました．"),
                 kBlack);
    member->name = name;
  }
  RefreshPartyList();
}

}  // namespace gorvane
