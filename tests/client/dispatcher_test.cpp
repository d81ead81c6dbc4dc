// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/dispatcher.h"

#include <gtest/gtest.h>

#include <memory>

#include "../spine/fakes.h"
#include "spine/fields.h"
#include "spine/framing.h"
#include "spine/sjis.h"
#include "support/client/receiving_client.h"

namespace gorvane {
namespace {

using Calls = std::vector<std::string>;

std::string Num(int32_t n) { return std::to_string(n); }

// Records every call of the dispatcher, on the lobby and on game windows.
struct RecordingGame : GameWindow {
  RecordingGame(Calls& calls, std::string name) : calls(calls), name(std::move(name)) {}
  void Call(const std::string& what) { calls.push_back(name + " " + what); }
  void createPartyList(std::string_view t) override { Call("createPartyList " + std::string(t)); }
  void RefreshPartyList() override { Call("RefreshPartyList"); }
  void ChangeLeader(int32_t u) override { Call("ChangeLeader " + Num(u)); }
  void addMyMember(int32_t u, std::string_view n) override {
    Call("addMyMember " + Num(u) + " " + std::string(n));
  }
  void doRename(int32_t u, std::string_view n) override { Call("doRename " + Num(u) + " " + std::string(n)); }
  void GetHand(std::string_view t) override { Call("GetHand " + std::string(t)); }
  void DispatchReady() override { Call("DispatchReady"); }
  void DrowCard(int32_t c) override { Call("DrowCard " + Num(c)); }
  void DispatchPlayed(std::string_view t) override { Call("DispatchPlayed " + std::string(t)); }
  void DispatchUnplayed() override { Call("DispatchUnplayed"); }
  void DispatchPiled(int32_t c) override { Call("DispatchPiled " + Num(c)); }
  void DispatchTurnend(int32_t u) override { Call("DispatchTurnend " + Num(u)); }
  void DispatchOtherTurn(int32_t u) override { Call("DispatchOtherTurn " + Num(u)); }
  void DispatchOtherDrowCard(int32_t u) override { Call("DispatchOtherDrowCard " + Num(u)); }
  void DispatchOtheropen(int32_t u) override { Call("DispatchOtheropen " + Num(u)); }
  void DispatchOtherDice(int32_t u, std::string_view t) override {
    Call("DispatchOtherDice " + Num(u) + " " + std::string(t));
  }
  void DispatchOtherPlay(int32_t a, int32_t b, std::string_view t) override {
    Call("DispatchOtherPlay " + Num(a) + " " + Num(b) + " " + std::string(t));
  }
  void DispatchTargetPlay(int32_t a, int32_t c) override {
    Call("DispatchTargetPlay " + Num(a) + " " + Num(c));
  }
  void DispatchOtherPile(int32_t u, std::string_view t) override {
    Call("DispatchOtherPile " + Num(u) + " " + std::string(t));
  }
  void ReachTreasure(int32_t u, int32_t a) override { Call("ReachTreasure " + Num(u) + " " + Num(a)); }
  void ICanGetBack(int32_t u) override { Call("ICanGetBack " + Num(u)); }
  void DispatchResult(std::string_view t) override { Call("DispatchResult " + std::string(t)); }
  void DispatchQuitgame(int32_t u) override { Call("DispatchQuitgame " + Num(u)); }
  void PrintMessage(std::string_view t, int k) override {
    Call("PrintMessage " + Num(k) + " " + std::string(t));
  }
  Calls& calls;
  std::string name;
};

struct RecordingLobby : DispatchTarget {
  Calls calls;
  int32_t id = 7;
  int32_t party = 0;
  std::string name = "Me";
  std::string login = "guest";
  std::string pass = "******";
  std::vector<std::unique_ptr<RecordingGame>> windows;

  void Call(const std::string& what) { calls.push_back(what); }
  int32_t myId() const override { return id; }
  void setMyId(int32_t v) override {
    id = v;
    Call("myId " + Num(v));
  }
  int32_t myPartyNo() const override { return party; }
  void setMyPartyNo(int32_t v) override {
    party = v;
    Call("myPartyNo " + Num(v));
  }
  const std::string& displayName() const override { return name; }
  const std::string& loginName() const override { return login; }
  const std::string& password() const override { return pass; }
  void SendCommand(std::string_view k, std::string_view a) override {
    Call("send " + std::string(k) + " " + std::string(a));
  }
  void PrintLobbyMessage(std::string_view t, int k) override {
    Call("lobby " + Num(k) + " " + std::string(t));
  }
  void AppendDebugLine(std::string_view t) override { Call("debug " + std::string(t)); }
  void SetMenusOffline() override { Call("offline"); }
  void RequestLobbyLists() override { Call("RequestLobbyLists"); }
  void createUserList(std::string_view t) override { Call("createUserList " + std::string(t)); }
  void RefreshUserList() override { Call("RefreshUserList"); }
  void createGroupList(std::string_view t) override { Call("createGroupList " + std::string(t)); }
  void RefreshGroupList() override { Call("RefreshGroupList"); }
  void DispatchQuit(int32_t u) override { Call("DispatchQuit " + Num(u)); }
  void DispatchUserInfo(std::string_view t) override { Call("DispatchUserInfo " + std::string(t)); }
  void DispatchOtherJoin(int32_t u, int32_t p) override {
    Call("DispatchOtherJoin " + Num(u) + " " + Num(p));
  }
  void DispatchRename(int32_t u, std::string_view n) override {
    Call("DispatchRename " + Num(u) + " " + std::string(n));
  }
  void DispatchPartyLeave(int32_t u, int32_t p) override {
    Call("DispatchPartyLeave " + Num(u) + " " + Num(p));
  }
  GameWindow* currentGameWindow() override { return windows.empty() ? nullptr : windows.back().get(); }
  void OpenGameWindow() override {
    windows.push_back(std::make_unique<RecordingGame>(calls, "game" + Num(party)));
    Call("OpenGameWindow " + Num(party));
  }
};

std::string T(const char* utf8) { return sjis::Text(utf8); }

struct Route {
  std::string message;
  Calls calls;
};

// Own id 7, own party 3, a game window open for party 3.
TEST(Dispatcher, RoutesEveryKindThroughItsSteps) {
  const Route routes[] = {
      {"S_CONNECT,12,Welcome", {"myId 12", "send G_JOIN Me", "lobby 0 SYS: Welcome"}},
      {"S_EXCEED", {"lobby 1 " + T("SYS: サーバは満員で接続できませんでした．")}},
      {"S_GREETING,7,Me", {"RequestLobbyLists"}},
      {"S_GREETING,8,\"A B\"", {"lobby 0 SYS: A B" + T("さんが接続しました"), "send G_LIST *"}},
      {"S_LOGIN", {"lobby 0 " + T("SYS: 認証に成功しました．")}},
      {"S_ELOGIN,15", {"lobby 0 " + T("SYS: 認証に失敗しました（パスワードが違います）．")}},
      {"S_ELOGIN,14", {"lobby 0 " + T("SYS: 認証に失敗しました（ユーザ名が正しくありません）．")}},
      {"S_ELOGIN,0", {"lobby 0 " + T("SYS: 認証に失敗しました（ユーザ名が正しくありません）．")}},
      {"S_ELOGIN,16", {"lobby 0 " + T("SYS: 認証に失敗しました（ユーザ名が正しくありません）．")}},
      {"S_BYE", {"offline"}},
      {"S_CREATE,8,004",
       {"RequestLobbyLists", "lobby 0 " + T("SYS: グループ ") + "004" + T(" が作成されました")}},
      {"S_LIST,1:A:0", {"createUserList S_LIST,1:A:0", "RefreshUserList"}},
      {"S_GLIST,1:2:3:0", {"createGroupList S_GLIST,1:2:3:0", "RefreshGroupList"}},
      {"S_CHAT A> x, \"y\"", {"lobby 2 A> x, \"y\""}},
      {"S_CHAT,A>,x", {"lobby 2 S_CHAT,A>,x"}},
      {"S_INFO,8,\"A B\",guest,100,2", {"DispatchUserInfo 8,\"A B\",guest,100,2"}},
      {"S_PJOIN,8,3", {"RequestLobbyLists", "DispatchOtherJoin 8 3"}},
      {"S_QUIT,8", {"DispatchQuit 8"}},
      {"S_ABNORMAL,9", {"DispatchQuit 9"}},
      {"S_PCANCEL", {"lobby 1 " + T("SYS: グループへの参加に失敗しました．")}},
      {"S_RENAME,8,New", {"DispatchRename 8 New", "RequestLobbyLists"}},
      {"S_PLIST,\"7:1:Me\",8:0:B", {"game3 createPartyList 7:1:Me,8:0:B", "game3 RefreshPartyList"}},
      {"S_LEADER,8", {"game3 ChangeLeader 8", "RefreshGroupList"}},
      {"S_PCHAT A> hi, \"x\"", {"game3 PrintMessage 2 A> hi, \"x\""}},
      {"S_FIRSTHAND,40,1,2,3", {"game3 GetHand 1,2,3"}},
      {"S_PBYE,8,3", {"game3 DispatchQuitgame 8", "DispatchPartyLeave 8 3", "RequestLobbyLists"}},
      {"S_PBYE,8,4", {"DispatchPartyLeave 8 4", "RequestLobbyLists"}},
      {"S_QUITGAME,8", {"game3 DispatchQuitgame 8", "DispatchPartyLeave 8 3", "RequestLobbyLists"}},
      {"S_READY", {"game3 DispatchReady"}},
      {"S_DREW,55", {"game3 DrowCard 55"}},
      {"S_FDREW", {"game3 DrowCard -1"}},
      {"S_PLAYED,3,5", {"game3 DispatchPlayed 3,5"}},
      {"S_PLAYED", {"game3 DispatchPlayed "}},
      {"S_UNPLAYED,1", {"game3 DispatchUnplayed"}},
      {"S_PILED", {"game3 DispatchPiled 0"}},
      {"S_FPILE,0", {"game3 DispatchPiled 0"}},
      {"S_FPILE,1", {"game3 DispatchPiled 1"}},
      {"S_TURNEND,8", {"game3 DispatchTurnend 8"}},
      {"S_TREASURE,500", {"game3 ReachTreasure 7 500"}},
      {"S_REACHED", {"game3 ICanGetBack 7"}},
      {"S_RESULT,7:500,8:0", {"game3 DispatchResult 7:500,8:0", "RequestLobbyLists"}},
      {"S_OREACHED,8", {"game3 ICanGetBack 8"}},
      {"S_OREACHED,7", {}},
      {"S_OTREASURE,8,300", {"game3 ReachTreasure 8 300"}},
      {"S_OTREASURE,7,300", {}},
      {"S_OTURN,8", {"game3 DispatchOtherTurn 8"}},
      {"S_ODREW,8", {"game3 DispatchOtherDrowCard 8"}},
      {"S_OPEN,8", {"game3 DispatchOtheropen 8"}},
      {"S_DICE,8,3,4", {"game3 DispatchOtherDice 8 3,4"}},
      {"S_OPLAY,8,7,44", {"game3 DispatchTargetPlay 8 44"}},
      {"S_OPLAY,7,7,44", {"game3 DispatchOtherPlay 7 7 44"}},
      {"S_OPLAY,8,9,44,45", {"game3 DispatchOtherPlay 8 9 44,45"}},
      {"S_OPLAY,8,8,12", {"game3 DispatchOtherPlay 8 8 12"}},
      {"S_OPILE,8,1,2", {"game3 DispatchOtherPile 8 1,2"}},
      {"S_OPILE,7,1,2", {}},
      // Kinds are exact: case, glued characters and look-alikes are unknown.
      {"s_login", {"debug Error: Unrecognized Message: s_login"}},
      {"S_LOGINX", {"debug Error: Unrecognized Message: S_LOGINX"}},
      {"S_LOGIN,", {"lobby 0 " + T("SYS: 認証に成功しました．")}},
      {"S_LOGIN\"x\"", {"debug Error: Unrecognized Message: S_LOGIN\"x\""}},
  };
  for (const Route& route : routes) {
    RecordingLobby lobby;
    lobby.party = 3;
    lobby.OpenGameWindow();
    lobby.calls.clear();
    DispatchServerMessage(route.message, lobby);
    EXPECT_EQ(lobby.calls, route.calls) << route.message;
    // The same as the lobby receives it: framed, with the fields the
    // framing found.
    RecordingLobby received;
    received.party = 3;
    received.OpenGameWindow();
    received.calls.clear();
    MessageFramer framer;
    FieldViews fields;
    framer.Feed(route.message + '\0', [&](std::string_view text, const FieldList* found) {
      DispatchServerMessage(text, found, received, fields);
    });
    EXPECT_EQ(received.calls, route.calls) << "received " << route.message;
  }
}

TEST(Dispatcher, OwnCreateAndJoinOpenANewCurrentWindowEachTime) {
  RecordingLobby lobby;
  DispatchServerMessage("S_CREATE,7,3", lobby);
  DispatchServerMessage("S_PJOIN,7,5", lobby);
  DispatchServerMessage("S_READY", lobby);
  EXPECT_EQ(lobby.calls,
            (Calls{"RequestLobbyLists", "myPartyNo 3", "lobby 0 " + T("SYS: グループの作成に成功しました"),
                   "OpenGameWindow 3", "RequestLobbyLists", "myPartyNo 5",
                   "lobby 0 " + T("SYS: グループ ") + "5" + T(" への参加に成功しました"), "OpenGameWindow 5",
                   "game5 DispatchReady"}));
  EXPECT_EQ(lobby.windows.size(), 2u);
}

TEST(Dispatcher, GameMessagesBeforeAnyWindowLeaveOneDebugLine) {
  for (const char* message : {"S_READY", "S_PLIST,7:1:Me", "S_QUITGAME,8", "S_RESULT,7:0", "S_LEADER,7"}) {
    RecordingLobby lobby;
    DispatchServerMessage(message, lobby);
    EXPECT_EQ(lobby.calls, Calls{"debug Error: No Game Window: " + std::string(message)}) << message;
  }
  // A leave from another party is the lobby's business even without a window.
  RecordingLobby lobby;
  DispatchServerMessage("S_PBYE,8,4", lobby);
  EXPECT_EQ(lobby.calls, (Calls{"DispatchPartyLeave 8 4", "RequestLobbyLists"}));
}

TEST(Dispatcher, StepsBeforeABadFieldStayDone) {
  struct Case {
    std::string message;
    Calls calls;
    std::string error;
  };
  const Case cases[] = {
      {"S_CONNECT,12", {"myId 12", "send G_JOIN Me"}, MissingFieldText(2)},
      {"S_CONNECT,x,Hi", {}, NotAnIntegerText("x")},
      {"S_CREATE", {"RequestLobbyLists"}, MissingFieldText(1)},
      {"S_CREATE,7,z", {"RequestLobbyLists"}, NotAnIntegerText("z")},
      {"S_GREETING,8", {}, MissingFieldText(2)},
      {"S_UNPLAYED", {}, MissingFieldText(1)},
      {"S_OPLAY,8,7", {}, MissingFieldText(3)},
      {"", {}, MissingFieldText(0)},
  };
  for (const Case& c : cases) {
    RecordingLobby lobby;
    lobby.party = 3;
    lobby.OpenGameWindow();
    lobby.calls.clear();
    try {
      DispatchServerMessage(c.message, lobby);
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const FieldError& e) {
      EXPECT_EQ(e.what(), c.error) << c.message;
    }
    EXPECT_EQ(lobby.calls, c.calls) << c.message;
  }
}

TEST(Dispatcher, LoginFollowsTheListsUnlessTheLoginNameIsExactlyGuest) {
  const std::pair<std::string, Calls> cases[] = {
      {"guest", {"RequestLobbyLists"}},
      {"Guest", {"RequestLobbyLists", "send G_LOGIN Guest ******"}},
      {"guest ", {"RequestLobbyLists", "send G_LOGIN guest  ******"}},
      {"alice", {"RequestLobbyLists", "send G_LOGIN alice ******"}},
  };
  for (const auto& [login, calls] : cases) {
    RecordingLobby lobby;
    lobby.login = login;
    DispatchServerMessage("S_GREETING,7,Me", lobby);
    EXPECT_EQ(lobby.calls, calls) << login;
  }
}

// What a handler beside the route table reaches when it needs more than the
// interfaces: the lobby and the room the message arrived at, in the client
// as it runs.
TEST(Dispatcher, TheLobbyAndTheCurrentRoomAreWithinReachOfAHandler) {
  testing::UpTransport transport;
  testing::FixedClock clock;
  testing::ReceivingClient<> client(transport, clock, Profile{"Me", "127.0.0.1", "guest", "******"},
                                    GORVANE_DATA_DIR "/longcardlist.txt");
  EXPECT_EQ(client.lobby().lobby(), &client.lobby());
  using namespace std::string_literals;
  client.Read("S_CONNECT,7,Hi\0S_CREATE,7,3\0S_CREATE,7,4\0"s);
  ASSERT_EQ(client.roomCount(), 2u);
  ASSERT_NE(client.lobby().currentGameWindow(), nullptr);
  EXPECT_EQ(client.lobby().currentGameWindow()->room(), &client.room(1));
  EXPECT_EQ(client.errors(), 0);
}

}  // namespace
}  // namespace gorvane
