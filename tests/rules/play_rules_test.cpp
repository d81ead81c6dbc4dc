// SPDX-License-Identifier: GPL-3.0-or-later
#include "rules/play_rules.h"

#include <gtest/gtest.h>

#include "spine/sjis.h"

namespace gorvane {
namespace {

const std::string kGeneral = sjis::Text("SYS: そのようにカードを出すことは出来ません．");
const std::string kChoose = sjis::Text("SYS: モンスターを出す相手を選んでください．");
const std::string kSelf = sjis::Text("SYS: 自分にモンスターは出せません．");
const std::string kBadDiscard = sjis::Text("SYS: その捨て方は出来ません．");

// A hand written as "card:kind" items, a '*' suffix marking the slot.
struct Hand {
  std::vector<HandSlot> slots;
  Marks marks{};
};

Hand MakeHand(std::initializer_list<const char*> items) {
  Hand hand;
  for (std::string item : items) {
    const bool marked = item.back() == '*';
    if (marked) item.pop_back();
    const size_t colon = item.find(':');
    hand.slots.push_back({std::stoi(item.substr(0, colon)), item[colon + 1]});
    hand.marks[hand.slots.size() - 1] = marked;
  }
  return hand;
}

struct PlayCase {
  const char* what;
  Hand hand;
  std::vector<size_t> selected;
  PlayKind before = PlayKind::NoPlay;
  int32_t monster = -1;
  char monsterKind = 0;
  size_t corridorRows = 0;
  std::optional<size_t> member;  // members are 3 (own), 5, 9
  // Expected:
  std::optional<std::string> command;
  std::optional<std::string> refusal;
  PlayKind after = PlayKind::NoPlay;
};

TEST(PlayRules, ClassifiesSelectionsLikeThePlayButton) {
  const PlayCase cases[] = {
      {"nothing selected",
       MakeHand({"10:L"}),
       {},
       PlayKind::NoPlay,
       -1,
       0,
       0,
       {},
       {},
       kGeneral,
       PlayKind::NoPlay},
      {"one corridor",
       MakeHand({"10:L", "11:F"}),
       {0},
       PlayKind::NoPlay,
       -1,
       0,
       0,
       {},
       "3 10",
       {},
       PlayKind::Corridor},
      {"corridor with a monster",
       MakeHand({"10:L"}),
       {0},
       PlayKind::NoPlay,
       30,
       'U',
       0,
       {},
       {},
       kGeneral,
       PlayKind::NoPlay},
      {"two corridors",
       MakeHand({"10:L", "12:L"}),
       {0, 1},
       PlayKind::Corridor,
       -1,
       0,
       0,
       {},
       {},
       kGeneral,
       PlayKind::Corridor},
      {"monster to member 5",
       MakeHand({"21:H"}),
       {0},
       PlayKind::NoPlay,
       -1,
       0,
       0,
       1,
       "5 21",
       {},
       PlayKind::SendMonster},
      {"monster, no member",
       MakeHand({"21:H"}),
       {0},
       PlayKind::NoPlay,
       -1,
       0,
       0,
       {},
       {},
       kChoose,
       PlayKind::NoPlay},
      {"monster to self", MakeHand({"21:W"}), {0}, PlayKind::Fight, -1, 0, 0, 0, {}, kSelf, PlayKind::Fight},
      {"monster and a second card",
       MakeHand({"21:U", "11:F"}),
       {0, 1},
       PlayKind::NoPlay,
       -1,
       0,
       0,
       1,
       {},
       kGeneral,
       PlayKind::NoPlay},
      {"detour", MakeHand({"40:P"}), {0}, PlayKind::NoPlay, 30, 'W', 2, {}, "3 40", {}, PlayKind::Detour},
      {"detour without corridor",
       MakeHand({"40:P"}),
       {0},
       PlayKind::NoPlay,
       30,
       'W',
       0,
       {},
       {},
       kGeneral,
       PlayKind::NoPlay},
      {"detour without monster",
       MakeHand({"40:P"}),
       {0},
       PlayKind::NoPlay,
       -1,
       0,
       3,
       {},
       {},
       kGeneral,
       PlayKind::NoPlay},
      {"cleric repels",
       MakeHand({"70:C"}),
       {0},
       PlayKind::Corridor,
       30,
       'U',
       0,
       {},
       "3 70",
       {},
       PlayKind::ClericRepel},
      {"cleric, nothing to repel",
       MakeHand({"70:C"}),
       {0},
       PlayKind::NoPlay,
       -1,
       0,
       0,
       {},
       {},
       kGeneral,
       PlayKind::NoPlay},
      {"fight two cards",
       MakeHand({"11:F", "12:E", "13:S"}),
       {0, 2},
       PlayKind::NoPlay,
       30,
       'U',
       0,
       {},
       "3 11 13",
       {},
       PlayKind::Fight},
      {"fight without monster",
       MakeHand({"11:F"}),
       {0},
       PlayKind::NoPlay,
       -1,
       0,
       0,
       {},
       {},
       kGeneral,
       PlayKind::NoPlay},
      {"sleep against undead",
       MakeHand({"11:F", "54:S"}),
       {0, 1},
       PlayKind::NoPlay,
       30,
       'U',
       0,
       {},
       {},
       kGeneral,
       PlayKind::NoPlay},
      {"sleep against humanoid",
       MakeHand({"11:F", "54:S"}),
       {0, 1},
       PlayKind::NoPlay,
       30,
       'H',
       0,
       {},
       "3 11 54",
       {},
       PlayKind::Fight},
      {"refused second, sleep third",
       MakeHand({"11:F", "10:L", "54:S"}),
       {0, 1, 2},
       PlayKind::NoPlay,
       30,
       'H',
       0,
       {},
       "3 11 54",
       {},
       PlayKind::Fight},
      {"refused second, fighter third",
       MakeHand({"11:F", "10:L", "12:D"}),
       {0, 1, 2},
       PlayKind::NoPlay,
       30,
       'H',
       0,
       {},
       {},
       kGeneral,
       PlayKind::NoPlay},
      {"marked card in a fight",
       MakeHand({"11:F", "12:D*"}),
       {0, 1},
       PlayKind::NoPlay,
       30,
       'W',
       0,
       {},
       {},
       kGeneral,
       PlayKind::NoPlay},
      {"cleric revives after fight",
       MakeHand({"70:C", "11:F*"}),
       {0, 1},
       PlayKind::Fight,
       30,
       'W',
       0,
       {},
       "3 70 11",
       {},
       PlayKind::ClericRevive},
      {"used card with cleric after fight",
       MakeHand({"11:F*", "70:C"}),
       {0, 1},
       PlayKind::Fight,
       -1,
       0,
       0,
       {},
       "3 11 70",
       {},
       PlayKind::ReviveUsed},
      {"used card not after fight, cleric alone sent",
       MakeHand({"11:F*", "70:C"}),
       {0, 1},
       PlayKind::Corridor,
       -1,
       0,
       0,
       {},
       "3 70",
       {},
       PlayKind::ReviveUsed},
      // A slot the server never dealt a card into, or whose number named
      // none, holds card 0 or a number outside 1..200.
      {"slot without a card",
       MakeHand({"0:", "11:F"}),
       {0},
       PlayKind::NoPlay,
       30,
       'U',
       0,
       {},
       {},
       kGeneral,
       PlayKind::NoPlay},
      {"slot without a card beside a fighter",
       MakeHand({"250:F", "11:F"}),
       {0, 1},
       PlayKind::NoPlay,
       30,
       'U',
       0,
       {},
       "3 11",
       {},
       PlayKind::Fight},
      {"used spell cannot be revived",
       MakeHand({"13:S*", "70:C*"}),
       {0, 1},
       PlayKind::Fight,
       -1,
       0,
       0,
       {},
       {},
       kGeneral,
       PlayKind::Fight},
  };
  for (const PlayCase& c : cases) {
    PlayContext context;
    context.hand = c.hand.slots;
    context.selectedRows = c.selected;
    context.myId = 3;
    context.monster = c.monster;
    context.monsterKind = c.monsterKind;
    context.corridorRows = c.corridorRows;
    context.memberIds = {3, 5, 9};
    context.selectedMember = c.member;
    PlayState state;
    state.playKind = c.before;
    state.usedMarks = c.hand.marks;
    const PlayOutcome outcome = DecidePlay(context, state);
    EXPECT_EQ(outcome.command, c.command) << c.what;
    EXPECT_EQ(outcome.refusal, c.refusal) << c.what;
    EXPECT_EQ(PlayKindName(state.playKind), std::string(PlayKindName(c.after))) << c.what;
    EXPECT_EQ(PlayKindName(state.savedPlayKind), std::string(PlayKindName(c.before))) << c.what;
    if (!c.command) {
      EXPECT_EQ(state.usedMarks, c.hand.marks) << c.what << ": a refused play keeps the marks";
    }
  }
}

TEST(PlayRules, MarksAfterAPlayAndTheirUndoCopy) {
  // Revival: the revived fighter loses its mark, the cleric gains one.
  PlayContext context;
  context.hand = {{70, 'C'}, {11, 'F'}, {12, 'L'}};
  context.selectedRows = {0, 1};
  context.myId = 3;
  PlayState state;
  state.playKind = PlayKind::Fight;
  state.usedMarks[1] = true;
  const Marks before = state.usedMarks;
  const PlayOutcome outcome = DecidePlay(context, state);
  ASSERT_EQ(outcome.command, "3 70 11");
  EXPECT_TRUE(outcome.marksChanged);
  EXPECT_TRUE(state.usedMarks[0]);
  EXPECT_FALSE(state.usedMarks[1]);
  EXPECT_FALSE(state.usedMarks[2]);
  EXPECT_EQ(state.savedMarks, before) << "the marks from before the click, for a refusal";
}

TEST(PlayRules, CharmCardSetsCharmCastEvenWhenThePlayIsRefused) {
  PlayContext context;
  context.hand = {{58, 'S'}, {10, 'L'}};
  context.myId = 3;
  context.monster = 30;
  context.monsterKind = 'H';
  context.selectedRows = {0, 1};
  PlayState state;
  state.playKind = PlayKind::NoPlay;
  // 58 alone against a monster is a fight; the corridor card then spoils it.
  EXPECT_EQ(DecidePlay(context, state).refusal, kGeneral);
  EXPECT_TRUE(state.charmCast);
  context.selectedRows = {0};
  EXPECT_EQ(DecidePlay(context, state).command, "3 58");
}

TEST(PlayRules, CharmedMonsterGoesAloneToTheChosenMember) {
  PlayContext context;
  context.hand = {{11, 'F'}};
  context.selectedRows = {0};
  context.myId = 3;
  context.charmBoxSelected = true;
  context.charmedMonster = 33;
  context.memberIds = {3, 5};
  const std::pair<std::optional<size_t>, std::optional<std::string>> members[] = {
      {1, std::nullopt}, {std::nullopt, kChoose}, {0, kSelf}};
  for (const auto& [member, refusal] : members) {
    context.selectedMember = member;
    PlayState state;
    state.playKind = PlayKind::Fight;
    const PlayOutcome outcome = DecidePlay(context, state);
    EXPECT_EQ(outcome.refusal, refusal);
    if (!refusal) {
      EXPECT_EQ(outcome.command, "5 33");
      EXPECT_TRUE(outcome.clearCharmBox);
      EXPECT_EQ(outcome.target, 5);
      EXPECT_EQ(state.playKind, PlayKind::SendCharmed);
    } else {
      EXPECT_FALSE(outcome.command);
      EXPECT_EQ(state.playKind, PlayKind::Fight);
    }
    EXPECT_FALSE(state.usedMarks[0]) << "hand rows take no part";
  }
  // A charmed "monster" whose number names no card is not sent on.
  context.selectedMember = 1;
  for (const int32_t monster : {0, 201, -7}) {
    context.charmedMonster = monster;
    PlayState state;
    state.playKind = PlayKind::Fight;
    const PlayOutcome outcome = DecidePlay(context, state);
    EXPECT_FALSE(outcome.command) << monster;
    EXPECT_EQ(outcome.refusal, kGeneral) << monster;
    EXPECT_EQ(state.playKind, PlayKind::Fight) << monster;
  }
}

struct DiscardCase {
  const char* what;
  Hand hand;
  std::vector<size_t> selected;
  bool trap;
  std::optional<std::string> command;
};

TEST(DiscardRules, HandSizeAndTrapRules) {
  const Hand nine = MakeHand({"1:F", "2:F", "3:F", "4:F", "5:F", "6:F", "7:F", "8:F", "9:F"});
  const Hand nineOneMarked = MakeHand({"1:F*", "2:F", "3:F", "4:F", "5:F", "6:F", "7:F", "8:F", "9:F"});
  const Hand seven = MakeHand({"1:F", "2:F", "3:F", "4:F", "5:F", "6:F", "7:F"});
  const Hand two = MakeHand({"1:F", "2:T"});
  const Hand nineOneBlank = MakeHand({"1:F", "0:", "3:F", "4:F", "5:F", "6:F", "7:F", "8:F", "9:F"});
  const DiscardCase cases[] = {
      {"nine keep seven", nine, {2, 5}, false, "3 6 "},
      {"nine keep eight", nine, {2}, false, {}},
      {"nine keep six", nine, {0, 1, 2}, false, {}},
      {"marked card selected", nineOneMarked, {0, 1}, false, {}},
      {"marked card kept aside", nineOneMarked, {1}, false, "2 "},
      {"seven cards", seven, {0}, false, {}},
      {"nothing selected", seven, {}, false, {}},
      {"trap: any three", nineOneMarked, {0, 4, 8}, true, "1 5 9 "},
      {"trap: single thief", two, {1}, true, "2 "},
      {"trap: single non-thief", two, {0}, true, {}},
      {"trap: whole hand of two", two, {0, 1}, true, "1 2 "},
      {"trap: two of nine", nine, {0, 1}, true, {}},
      {"trap: four", nine, {0, 1, 2, 3}, true, {}},
      {"trap: single card hand", MakeHand({"4:F"}), {0}, true, "4 "},
      {"slot without a card selected", nineOneBlank, {1, 5}, false, {}},
      {"trap: slot without a card selected", nineOneBlank, {0, 1, 2}, true, {}},
      {"slot without a card kept", nineOneBlank, {2, 5}, false, "3 6 "},
  };
  for (const DiscardCase& c : cases) {
    DiscardContext context{c.hand.slots, c.selected, c.trap};
    Marks used = c.hand.marks;
    Marks saved{};
    const DiscardOutcome outcome = DecideDiscard(context, used, saved);
    EXPECT_EQ(outcome.command, c.command) << c.what;
    EXPECT_EQ(saved, c.hand.marks) << c.what;
    if (c.command) {
      for (size_t row : c.selected) EXPECT_TRUE(used[row]) << c.what;
    } else {
      EXPECT_EQ(outcome.refusal, kBadDiscard) << c.what;
      EXPECT_EQ(used, c.hand.marks) << c.what;
    }
  }
}

}  // namespace
}  // namespace gorvane
