// SPDX-License-Identifier: GPL-3.0-or-later
// A whole session through the client's receive side, as a hostile server
// and a clicking player would drive it: the framing, the dispatch, the
// lobby's lists and every game room, with windows that draw their rows the
// moment they are told to and nothing else. After every read and every
// click it checks what the client promises whatever the server sends: at
// most 16 hand rows and 31 corridor rows, one roster record per user id
// (one lobby record per user and party), rows that match their lists, and
// no card number outside 1..200 in a play or a discard it sends.
//
// The input is the server's byte stream with the player's clicks in it:
// the byte 0xFF starts a click, the next byte says which (kClicks below)
// and the one after is its argument; 0xFF 0xFF is a 0xFF from the server.
// The bytes between two clicks arrive as one read. A recorded game without
// 0xFF bytes is a valid input as it is.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "client/game_room.h"
#include "client/lobby.h"
#include "spine/TVR1Util.h"
#include "spine/codec.h"
#include "spine/fields.h"
#include "support/client/receiving_client.h"

namespace {

using namespace gorvane;

constexpr unsigned char kClickMark = 0xFF;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "receive_fuzzer: %s\n", what.c_str());
  std::abort();
}

void Require(bool holds, const std::string& what) {
  if (!holds) Fail(what);
}

// Every command the client sends; plays and discards are checked for card
// numbers as they leave.
class CheckingTransport : public testing::UpTransport {
 public:
  void Send(std::string_view wire) override {
    Require(!wire.empty() && wire.back() == '\0', "a command without its terminator");
    const std::string_view command = TrimMessage(wire);
    const FieldViews parts(command);  // kind, own id, then the argument's words
    if (parts.size() < 2) return;
    // A play names its target first; a discard only cards.
    size_t firstCard = 0;
    if (parts[0] == "P_PLAY") firstCard = 3;
    if (parts[0] == "P_PILE") firstCard = 2;
    if (firstCard == 0) return;
    for (size_t i = firstCard; i < parts.size(); ++i) {
      const auto card = ParseInt32(parts[i]);
      Require(card && *card >= 1 && *card <= kCardCount,
              "sent a card number outside 1..200: " + std::string(command));
    }
  }
};

struct NoClock : Clock {
  LocalTime Now() const override { return {12, 34, 56}; }
};

// A game window that draws what it is told to redraw, as the real one does
// at once: the rows are made then, and must match their lists.
class DrawingView : public GameView {
 public:
  void Show(const GameRoom& room) { room_ = &room; }
  void Redraw(unsigned parts) override {
    if (room_ == nullptr) return;  // the room is still being made
    const GameScreen& screen = room_->screen();
    if (parts & kHandList) {
      Require(screen.handList.rows().size() == screen.handList.size(), "hand rows and selection differ");
    }
    if (parts & kMemberList) {
      Require(screen.memberList.rows().size() == room_->roster().members.size(),
              "member rows and roster differ");
    }
    if (parts & kCorridorList) {
      Require(screen.corridorList.rows().size() == screen.corridorList.size(), "corridor rows differ");
    }
  }

 private:
  const GameRoom* room_ = nullptr;
};

class Client {
 public:
  void Read(std::string_view bytes) { client_.Read(bytes); }

  void Click(unsigned char which, unsigned char argument) {
    GameRoom* room = client_.currentRoom();
    Lobby& lobby = client_.lobby();
    switch (which % 20) {
      // Only the buttons the window has enabled can be clicked.
      case 0:
        if (room && room->screen().drawEnabled) room->Button1Click();
        break;
      case 1:
        if (room && room->screen().turnEndEnabled) room->Button2Click();
        break;
      case 2:
        if (room && room->screen().playEnabled) room->Button3Click();
        break;
      case 3:
        if (room && room->screen().pileEnabled) room->Button4Click();
        break;
      case 4:
        if (room && room->screen().startEnabled) room->S1Click();
        break;
      case 5:
        if (room) room->R1Click();
        break;
      case 6:
      case 7:
        // A window only selects rows it has.
        if (room && room->screen().handList.size() > 0) {
          room->HandListSelect(argument % room->screen().handList.size(), which % 20 == 6);
        }
        break;
      case 8:
        if (room) {
          const size_t rows = room->screen().memberList.rows().size();
          room->MemberListSelect(rows == 0 || argument == 0xFF ? std::nullopt
                                                               : std::optional<size_t>(argument % rows));
        }
        break;
      case 9:
        if (room && room->screen().charmBox.size() > 0) {
          room->CharmBoxSelect(argument / 2 % room->screen().charmBox.size(), argument % 2 == 0);
        }
        break;
      case 10:
        if (room) {
          room->Edit1Change(std::string(1 + argument % 3, 'x'));
          room->Edit1KeyDown(kEnterKey);
        }
        break;
      case 11:
        if (room) room->FormClose();
        break;
      case 12:
        lobby.R1Click();
        break;
      case 13:
        lobby.P1Click();
        break;
      case 14:
        lobby.J1Click();
        break;
      case 15:
        SelectRow(lobby.lists().ListBox2(), argument);
        break;
      case 16:
        SelectRow(lobby.lists().ListBox1(), argument);
        lobby.ListBox1DblClick();
        break;
      case 17:
        lobby.Edit2Change("hi");
        lobby.Edit2KeyDown(kEnterKey);
        break;
      case 18:
        lobby.C1Click();
        break;
      default:
        lobby.G1Click();
        break;
    }
  }

  void CheckPromises() {
    for (size_t i = 0; i < client_.roomCount(); ++i) {
      const GameRoom& room = client_.room(i);
      Require(room.screen().handList.size() <= kHandSlots, "more than 16 hand rows");
      Require(room.screen().corridorList.size() <= kCorridorRows, "more than 31 corridor rows");
      std::set<int32_t> ids;
      for (const party_t& member : room.roster().members) {
        Require(ids.insert(member.id).second, "two roster records for user " + std::to_string(member.id));
      }
    }
    Lobby& lobby = client_.lobby();
    std::set<int32_t> users;
    for (const userlist_t& user : lobby.lists().userList()) {
      Require(users.insert(user.id).second, "two lobby records for user " + std::to_string(user.id));
    }
    std::set<int32_t> parties;
    for (const grouplist_t& party : lobby.lists().groupList()) {
      Require(parties.insert(party.number).second, "two records for party " + std::to_string(party.number));
    }
  }

 private:
  template <typename Rows>
  static void SelectRow(Rows& rows, unsigned char argument) {
    if (rows.size() == 0 || argument == 0xFF) {
      rows.Select(std::nullopt);
    } else {
      rows.Select(argument % rows.size());
    }
  }

  CheckingTransport transport_;
  NoClock clock_;
  testing::ReceivingClient<DrawingView> client_{transport_, clock_,
                                                Profile{"Player", "127.0.0.1", "guest", "******"},
                                                GORVANE_DATA_DIR "/longcardlist.txt"};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  Client client;
  std::string read;
  const auto deliver = [&] {
    if (read.empty()) return;
    client.Read(read);
    read.clear();
    client.CheckPromises();
  };
  for (size_t at = 0; at < input.size(); ++at) {
    const auto byte = static_cast<unsigned char>(input[at]);
    if (byte != kClickMark) {
      read += input[at];
      continue;
    }
    if (at + 1 < input.size() && static_cast<unsigned char>(input[at + 1]) == kClickMark) {
      read += input[at];
      ++at;
      continue;
    }
    deliver();
    const auto which = at + 1 < input.size() ? static_cast<unsigned char>(input[at + 1]) : 0;
    const auto argument = at + 2 < input.size() ? static_cast<unsigned char>(input[at + 2]) : 0;
    at += 2;
    client.Click(which, argument);
    client.CheckPromises();
  }
  deliver();
  return 0;
}
