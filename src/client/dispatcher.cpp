// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/dispatcher.h"

#include <array>

#include "client/lobby.h"
#include "spine/TVR1Util.h"
#include "spine/codec.h"
#include "spine/concat.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane {
namespace {

struct Message {
  std::string_view text;
  const FieldViews& fields;
  DispatchTarget& target;

  int32_t Int(size_t i) const { return IntegerAt(fields, i); }
  std::string_view Str(size_t i) const { return FieldAt(fields, i); }
  std::string From(size_t i) const { return CommaTextFrom(fields, i); }
  void Lobby(std::string_view cp932, int kind) const { target.PrintLobbyMessage(cp932, kind); }
};

// A game message that arrives before any game window has nothing to act on.
GameWindow* GameOrNote(const Message& m) {
  GameWindow* game = m.target.currentGameWindow();
  if (game == nullptr) m.target.AppendDebugLine(Concat("Error: No Game Window: ", m.text));
  return game;
}

// Rows whose every step is on the game window: dropped whole without one.
template <typename Steps>
void Game(const Message& m, Steps steps) {
  if (GameWindow* game = GameOrNote(m)) steps(*game);
}

// A handler written here that needs the real lobby or game room (their
// state and public operations, client/lobby.h and client/game_room.h), not
// only the events of the interfaces: a new kind is then its row, this
// handler and its test. A test's recording lobby or window has neither, and
// such a row passes it by.
template <typename Steps>
void InLobby(const Message& m, Steps steps) {
  if (Lobby* lobby = m.target.lobby()) steps(*lobby);
}
template <typename Steps>
void InRoom(const Message& m, Steps steps) {
  if (GameWindow* game = GameOrNote(m)) {
    if (GameRoom* room = game->room()) steps(*room);
  }
}

void Connect(const Message& m) {
  m.target.setMyId(m.Int(1));
  m.target.SendCommand("G_JOIN", m.target.displayName());
  m.Lobby(Concat("SYS: ", m.Str(2)), kBlack);
}

void Greeting(const Message& m) {
  if (m.Int(1) == m.target.myId()) {
    m.target.RequestLobbyLists();
    if (m.target.loginName() != "guest") {
      m.target.SendCommand("G_LOGIN", m.target.loginName() + " " + m.target.password());
    }
    return;
  }
  m.Lobby(Concat("SYS: ", m.Str(2), "さんが接続しました"_cp932), kBlack);
  m.target.SendCommand("G_LIST", "*");
}

void ELogin(const Message& m) {
  if (m.Int(1) == 15) {
    m.Lobby("SYS: 認証に失敗しました（パスワードが違います）．"_cp932, kBlack);
  } else {
    m.Lobby("SYS: 認証に失敗しました（ユーザ名が正しくありません）．"_cp932, kBlack);
  }
}

void Create(const Message& m) {
  m.target.RequestLobbyLists();
  if (m.Int(1) == m.target.myId()) {
    m.target.setMyPartyNo(m.Int(2));
    m.Lobby("SYS: グループの作成に成功しました"_cp932, kBlack);
    m.target.OpenGameWindow();
  } else {
    m.Lobby(Concat("SYS: グループ "_cp932, m.Str(2), " が作成されました"_cp932), kBlack);
  }
}

void PJoin(const Message& m) {
  m.target.RequestLobbyLists();
  if (m.Int(1) == m.target.myId()) {
    m.target.setMyPartyNo(m.Int(2));
    m.Lobby(Concat("SYS: グループ "_cp932, m.Str(2), " への参加に成功しました"_cp932), kBlack);
    m.target.OpenGameWindow();
  } else {
    const int32_t user = m.Int(1);
    m.target.DispatchOtherJoin(user, m.Int(2));
  }
}

void PBye(const Message& m) {
  if (m.Int(2) == m.target.myPartyNo()) {
    const int32_t user = m.Int(1);
    if (GameWindow* game = GameOrNote(m)) game->DispatchQuitgame(user);
  }
  const int32_t user = m.Int(1);
  m.target.DispatchPartyLeave(user, m.Int(2));
  m.target.RequestLobbyLists();
}

void OPlay(const Message& m) {
  Game(m, [&](GameWindow& game) {
    const int32_t player = m.Int(1);
    const int32_t target = m.Int(2);
    if (player != m.target.myId() && target == m.target.myId()) {
      game.DispatchTargetPlay(player, m.Int(3));
    } else {
      game.DispatchOtherPlay(player, target, m.From(3));
    }
  });
}

using Handler = void (*)(const Message&);

struct Route {
  std::string_view kind;
  Handler handle;
};

// In the order the kinds are recognised.
constexpr std::array kRoutes = {
    Route{"S_CONNECT", Connect},
    Route{"S_EXCEED",
          [](const Message& m) { m.Lobby("SYS: サーバは満員で接続できませんでした．"_cp932, kRed); }},
    Route{"S_GREETING", Greeting},
    Route{"S_LOGIN", [](const Message& m) { m.Lobby("SYS: 認証に成功しました．"_cp932, kBlack); }},
    Route{"S_ELOGIN", ELogin},
    Route{"S_BYE", [](const Message& m) { m.target.SetMenusOffline(); }},
    Route{"S_CREATE", Create},
    Route{"S_LIST",
          [](const Message& m) {
            m.target.createUserList(m.text);
            m.target.RefreshUserList();
          }},
    Route{"S_GLIST",
          [](const Message& m) {
            m.target.createGroupList(m.text);
            m.target.RefreshGroupList();
          }},
    Route{"S_CHAT", [](const Message& m) { m.Lobby(TextAfterFirstSpace(m.text), kGreen); }},
    Route{"S_INFO", [](const Message& m) { m.target.DispatchUserInfo(m.From(1)); }},
    Route{"S_PJOIN", PJoin},
    Route{"S_QUIT", [](const Message& m) { m.target.DispatchQuit(m.Int(1)); }},
    Route{"S_ABNORMAL", [](const Message& m) { m.target.DispatchQuit(m.Int(1)); }},
    Route{"S_PCANCEL",
          [](const Message& m) { m.Lobby("SYS: グループへの参加に失敗しました．"_cp932, kRed); }},
    Route{"S_RENAME",
          [](const Message& m) {
            const int32_t user = m.Int(1);
            m.target.DispatchRename(user, m.Str(2));
            m.target.RequestLobbyLists();
          }},
    Route{"S_PLIST",
          [](const Message& m) {
            Game(m, [&](GameWindow& game) {
              game.createPartyList(m.From(1));
              game.RefreshPartyList();
            });
          }},
    Route{"S_LEADER",
          [](const Message& m) {
            Game(m, [&](GameWindow& game) {
              game.ChangeLeader(m.Int(1));
              m.target.RefreshGroupList();
            });
          }},
    Route{"S_PCHAT",
          [](const Message& m) {
            Game(m, [&](GameWindow& game) { game.PrintMessage(TextAfterFirstSpace(m.text), kGreen); });
          }},
    Route{"S_FIRSTHAND",
          [](const Message& m) { Game(m, [&](GameWindow& game) { game.GetHand(m.From(2)); }); }},
    Route{"S_PBYE", PBye},
    Route{"S_QUITGAME",
          [](const Message& m) {
            Game(m, [&](GameWindow& game) {
              const int32_t user = m.Int(1);
              game.DispatchQuitgame(user);
              m.target.DispatchPartyLeave(user, m.target.myPartyNo());
              m.target.RequestLobbyLists();
            });
          }},
    Route{"S_READY", [](const Message& m) { Game(m, [](GameWindow& game) { game.DispatchReady(); }); }},
    Route{"S_DREW", [](const Message& m) { Game(m, [&](GameWindow& game) { game.DrowCard(m.Int(1)); }); }},
    Route{"S_FDREW", [](const Message& m) { Game(m, [](GameWindow& game) { game.DrowCard(-1); }); }},
    Route{"S_PLAYED",
          [](const Message& m) { Game(m, [&](GameWindow& game) { game.DispatchPlayed(m.From(1)); }); }},
    Route{"S_UNPLAYED",
          [](const Message& m) {
            Game(m, [&](GameWindow& game) {
              m.Int(1);
              game.DispatchUnplayed();
            });
          }},
    Route{"S_PILED", [](const Message& m) { Game(m, [](GameWindow& game) { game.DispatchPiled(0); }); }},
    Route{"S_FPILE",
          [](const Message& m) { Game(m, [&](GameWindow& game) { game.DispatchPiled(m.Int(1)); }); }},
    Route{"S_TURNEND",
          [](const Message& m) { Game(m, [&](GameWindow& game) { game.DispatchTurnend(m.Int(1)); }); }},
    Route{"S_TREASURE",
          [](const Message& m) {
            Game(m, [&](GameWindow& game) { game.ReachTreasure(m.target.myId(), m.Int(1)); });
          }},
    Route{"S_REACHED",
          [](const Message& m) { Game(m, [&](GameWindow& game) { game.ICanGetBack(m.target.myId()); }); }},
    Route{"S_RESULT",
          [](const Message& m) {
            Game(m, [&](GameWindow& game) {
              game.DispatchResult(m.From(1));
              m.target.RequestLobbyLists();
            });
          }},
    Route{"S_OREACHED",
          [](const Message& m) {
            Game(m, [&](GameWindow& game) {
              const int32_t user = m.Int(1);
              if (user != m.target.myId()) game.ICanGetBack(user);
            });
          }},
    Route{"S_OTREASURE",
          [](const Message& m) {
            Game(m, [&](GameWindow& game) {
              const int32_t user = m.Int(1);
              if (user != m.target.myId()) game.ReachTreasure(user, m.Int(2));
            });
          }},
    Route{"S_OTURN",
          [](const Message& m) { Game(m, [&](GameWindow& game) { game.DispatchOtherTurn(m.Int(1)); }); }},
    Route{"S_ODREW",
          [](const Message& m) { Game(m, [&](GameWindow& game) { game.DispatchOtherDrowCard(m.Int(1)); }); }},
    Route{"S_OPEN",
          [](const Message& m) { Game(m, [&](GameWindow& game) { game.DispatchOtheropen(m.Int(1)); }); }},
    Route{"S_DICE",
          [](const Message& m) {
            Game(m, [&](GameWindow& game) {
              const int32_t user = m.Int(1);
              game.DispatchOtherDice(user, m.From(2));
            });
          }},
    Route{"S_OPLAY", OPlay},
    Route{"S_TLS",
          [](const Message& m) {
            InLobby(m, [&](Lobby& lobby) { lobby.DispatchTls(m.text, m.fields.size() > 1 ? m.Str(1) : ""); });
          }},
    Route{"S_OPILE",
          [](const Message& m) {
            Game(m, [&](GameWindow& game) {
              const int32_t user = m.Int(1);
              if (user != m.target.myId()) game.DispatchOtherPile(user, m.From(2));
            });
          }},
};

// The routes by kind in an open-addressed table: a kind's slot comes from
// its length and two of its letters, so finding one takes a comparison or
// two, not one per kind.
constexpr size_t kSlots = 128;
static_assert(kRoutes.size() < kSlots / 2);

constexpr size_t KindSlot(std::string_view kind) {
  size_t hash = kind.size() * 7;
  if (kind.size() > 2)
    hash += static_cast<unsigned char>(kind[2]) * 3 + static_cast<unsigned char>(kind.back());
  return hash % kSlots;
}

constexpr auto kRouteTable = [] {
  std::array<const Route*, kSlots> table{};
  for (const Route& route : kRoutes) {
    size_t slot = KindSlot(route.kind);
    while (table[slot] != nullptr) slot = (slot + 1) % kSlots;
    table[slot] = &route;
  }
  return table;
}();

const Route* FindRoute(std::string_view kind) {
  for (size_t slot = KindSlot(kind); kRouteTable[slot] != nullptr; slot = (slot + 1) % kSlots) {
    if (kRouteTable[slot]->kind == kind) return kRouteTable[slot];
  }
  return nullptr;
}

}  // namespace

void DispatchServerMessage(std::string_view text, DispatchTarget& target) {
  FieldViews fields;
  DispatchServerMessage(text, nullptr, target, fields);
}

void DispatchServerMessage(std::string_view text, const FieldList* found, DispatchTarget& target,
                           FieldViews& fields) {
  if (found != nullptr) {
    fields.Adopt(*found);
  } else {
    fields.Split(text);
  }
  // An empty message has no kind: reading it is a missing field 0.
  if (const Route* route = FindRoute(FieldAt(fields, 0))) {
    route->handle(Message{text, fields, target});
    return;
  }
  target.AppendDebugLine(Concat("Error: Unrecognized Message: ", text));
}

}  // namespace gorvane
