// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <memory>

#include "game_fakes.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane {
namespace {

using testing::RoomFixture;

std::string U(std::string_view utf8) { return sjis::Text(utf8); }

// A room whose own member (id 5) is in the roster, with two known cards.
std::unique_ptr<RoomFixture> RoomWithHand() {
  auto f = std::make_unique<RoomFixture>();
  testing::LoadCards(f->catalogue, "a L A 0 0 5\r\nb F B 0 1 1\r\n");
  f->room.createPartyList("3:1:X,5:0:Me");
  return f;
}

int32_t OwnHandCount(GameRoom& room) { return room.roster().ownMember()->handCount; }

TEST(Hand, GetHandFillsTheSlotsAndTheRows) {
  struct Case {
    std::string text;
    std::vector<std::string> rows;
  };
  const Case cases[] = {
      {"1,2", {"A(5)", U("B(1D+1)[戦士]")}},
      {"2 1 ,2", {U("B(1D+1)[戦士]"), "A(5)", U("B(1D+1)[戦士]")}},
      {"", {}},
      // Numbers that are not cards show as blank rows and index nothing.
      {"0,201,-1,3", {"", "", "", ""}},
  };
  for (const Case& c : cases) {
    auto f = RoomWithHand();
    f->room.GetHand(c.text);
    EXPECT_EQ(f->room.screen().handList.rows(), c.rows) << c.text;
    EXPECT_EQ(OwnHandCount(f->room), static_cast<int32_t>(c.rows.size())) << c.text;
    EXPECT_TRUE(f->view.Redrew(GameView::kHandList)) << c.text;
  }
}

TEST(Hand, ASeventeenthCardIsDroppedWithANote) {
  auto f = RoomWithHand();
  std::string text;
  for (int card = 1; card <= 17; ++card) text += (card > 1 ? "," : "") + std::to_string(card);
  f->room.GetHand(text);
  EXPECT_EQ(OwnHandCount(f->room), 16);
  EXPECT_EQ(f->room.screen().handList.rows().size(), 16u);
  EXPECT_EQ(f->room.state().handCards[15], 16);
  EXPECT_EQ(f->debugLog.lines.back(), "GetHand: the hand is full; card 17 dropped");
}

TEST(Hand, MarkedSlotsShowU) {
  auto f = RoomWithHand();
  f->room.state().usedMarks[1] = true;
  f->room.GetHand("1,2,1");
  EXPECT_EQ(f->room.screen().handList.rows(),
            (std::vector<std::string>{"A(5)", U("[U] B(1D+1)[戦士]"), "A(5)"}));
  EXPECT_TRUE(f->room.state().usedMarks[1]) << "GetHand leaves the marks alone";
}

TEST(Hand, ANonIntegerCardStopsGetHand) {
  auto f = RoomWithHand();
  f->view.Forget();
  try {
    f->room.GetHand("1,x,2");
    ADD_FAILURE() << "taken whole";
  } catch (const FieldError& error) {
    EXPECT_EQ(error.what(), NotAnIntegerText("x"));
  }
  EXPECT_EQ(OwnHandCount(f->room), 7);
  EXPECT_FALSE(f->view.Redrew(GameView::kHandList));
}

TEST(Hand, RowsFollowTheOwnHandCountWithinTheSlots) {
  struct Case {
    int32_t handCount;
    size_t rows;
  };
  for (const Case c : {Case{3, 3}, Case{16, 16}, Case{40, 16}, Case{-3, 0}}) {
    auto f = RoomWithHand();
    f->room.GetHand("1");
    f->room.HandListSelect(0, true);
    f->room.roster().ownMember()->handCount = c.handCount;
    f->room.ShowHand();
    EXPECT_EQ(f->room.screen().handList.rows().size(), c.rows) << c.handCount;
    EXPECT_TRUE(f->room.screen().handList.Selection().empty()) << "ShowHand clears the selection";
  }
}

TEST(Hand, RowsShowTheHandAsShownEvenWhenTheWindowReadsThemLater) {
  auto f = RoomWithHand();
  f->room.GetHand("1,2");
  // The texts are made when the window draws them; a change to the hand
  // without a redraw of it must not leak into them.
  f->room.state().handCards = {};
  f->room.state().usedMarks[0] = true;
  EXPECT_EQ(f->room.screen().handList.rows(), (std::vector<std::string>{"A(5)", U("B(1D+1)[戦士]")}));
  f->room.ShowHand();
  EXPECT_EQ(f->room.screen().handList.rows(), (std::vector<std::string>{"[U] ", ""}));
}

TEST(Hand, WithoutAnOwnMemberThereIsNoHandToShow) {
  auto f = std::make_unique<RoomFixture>();
  f->room.createPartyList("3:1:X");
  f->room.GetHand("1,2");
  EXPECT_TRUE(f->room.screen().handList.rows().empty());
  EXPECT_EQ(f->debugLog.lines.back(), "GetHand: no own member in the roster");
}

}  // namespace
}  // namespace gorvane
