// SPDX-License-Identifier: GPL-3.0-or-later
// The game engine with stacked decks: refusals for each rule only the server
// can check, a trap turn, and a whole short game message by message.
#include <gtest/gtest.h>

#include <algorithm>

#include "table.h"

namespace gorvane::testing {
namespace {

using Strings = std::vector<std::string>;

struct Step {
  int32_t id;
  std::string_view kind;
  std::string argument = "*";
};

// Three players 3, 5 and 8, dealt in that order; 3 leads.
std::vector<int32_t> Deck(std::vector<int32_t> hand3, std::vector<int32_t> hand5) {
  if (hand5.empty()) hand5 = {11, 17, 23, 29, 35, 41, 47};
  std::vector<int32_t> deck = std::move(hand3);
  deck.insert(deck.end(), hand5.begin(), hand5.end());
  for (const int32_t card : {12, 18, 24, 30, 36, 42, 48, 82, 83, 85, 86, 87, 88, 90}) deck.push_back(card);
  return deck;
}

// Player 5 sends the monster to 3 and it is 3's turn again, drawn.
std::vector<Step> MonsterOn3(int32_t monster) {
  return {{3, "P_DROW"},    {3, "P_TURNEND"}, {5, "P_DROW"},    {5, "P_PLAY", "3 " + std::to_string(monster)},
          {5, "P_TURNEND"}, {8, "P_DROW"},    {8, "P_TURNEND"}, {3, "P_DROW"}};
}

std::vector<Step> Then(std::vector<Step> steps, std::vector<Step> more) {
  steps.insert(steps.end(), more.begin(), more.end());
  return steps;
}

struct RuleCase {
  const char* what;
  std::vector<int32_t> hand3;
  std::vector<int32_t> hand5;
  std::vector<Step> before;
  Step command;
  const char* refusal;  // part of the logged reason; nullptr when taken
};

TEST(GameRules, EachServerCheckRefusesAndChangesNothing) {
  const std::vector<int32_t> plain{1, 2, 3, 4, 5, 6, 7};
  const std::vector<Step> drawn{{3, "P_DROW"}};
  const RuleCase cases[] = {
      {"card not in the hand", plain, {}, drawn, {3, "P_PLAY", "3 81"}, "not in the hand"},
      {"card named twice", {81, 1, 2, 3, 4, 5, 6}, {}, drawn, {3, "P_PLAY", "3 81 81"}, "named twice"},
      {"play before drawing", {81, 1, 2, 3, 4, 5, 6}, {}, {}, {3, "P_PLAY", "3 81"}, "has not drawn"},
      {"play out of turn", plain, {}, drawn, {5, "P_PLAY", "5 11"}, "not this player's turn"},
      {"corridor names another member",
       {81, 1, 2, 3, 4, 5, 6},
       {},
       drawn,
       {3, "P_PLAY", "5 81"},
       "another member"},
      {"monster to a member who carries one",
       {141, 144, 1, 2, 3, 4, 5},
       {},
       Then(drawn, {{3, "P_PLAY", "5 141"}}),
       {3, "P_PLAY", "5 144"},
       "already carries"},
      {"monster to a free member",
       {141, 144, 1, 2, 3, 4, 5},
       {},
       Then(drawn, {{3, "P_PLAY", "5 141"}}),
       {3, "P_PLAY", "8 144"},
       nullptr},
      {"spell alone",
       {51, 1, 2, 3, 4, 6, 7},
       {185, 17, 23, 29, 35, 41, 47},
       MonsterOn3(185),
       {3, "P_PLAY", "3 51"},
       "only beside an elf or a magician"},
      {"spell with a fighter",
       {51, 1, 2, 3, 4, 6, 7},
       {185, 17, 23, 29, 35, 41, 47},
       MonsterOn3(185),
       {3, "P_PLAY", "3 51 1"},
       "only beside an elf or a magician"},
      {"spell with an elf",
       {51, 1, 2, 3, 4, 6, 7},
       {185, 17, 23, 29, 35, 41, 47},
       MonsterOn3(185),
       {3, "P_PLAY", "3 51 4"},
       nullptr},
      {"sleep first against an undead",
       {54, 4, 1, 2, 3, 5, 6},
       {179, 17, 23, 29, 35, 41, 47},
       MonsterOn3(179),
       {3, "P_PLAY", "3 54 4"},
       "only a humanoid"},
      {"sleep first against a humanoid",
       {54, 4, 1, 2, 3, 5, 6},
       {185, 17, 23, 29, 35, 41, 47},
       MonsterOn3(185),
       {3, "P_PLAY", "3 54 4"},
       nullptr},
      {"sleep again after it fought",
       {4, 7, 54, 1, 2, 3, 5},
       {185, 17, 23, 29, 35, 41, 47},
       Then(MonsterOn3(185), {{3, "P_PLAY", "3 4 54"}}),
       {3, "P_PLAY", "3 7 54"},
       "was used this turn"},
      {"second revival",
       {1, 2, 8, 3, 5, 6, 9},
       {185, 17, 23, 29, 35, 41, 47},
       Then(MonsterOn3(185), {{3, "P_PLAY", "3 1"}, {3, "P_PLAY", "3 1 2"}, {3, "P_PLAY", "3 1"}}),
       {3, "P_PLAY", "3 1 8"},
       "one revival per turn"},
      {"revival of a monster sent away",
       {2, 141, 1, 3, 5, 6, 9},
       {185, 17, 23, 29, 35, 41, 47},
       Then(MonsterOn3(185), {{3, "P_PLAY", "8 141"}, {3, "P_PLAY", "3 1"}}),
       {3, "P_PLAY", "3 2 141"},
       "did not fight"},
      {"play after a discard",
       {81, 1, 2, 3, 4, 5, 6},
       {},
       Then(drawn, {{3, "P_PILE", "1"}}),
       {3, "P_PLAY", "3 81"},
       "has discarded"},
      {"discard not in the hand", plain, {}, drawn, {3, "P_PILE", "99"}, "not in the hand"},
      {"discard named twice", plain, {}, drawn, {3, "P_PILE", "1 1"}, "named twice"},
      {"discard before drawing", plain, {}, {}, {3, "P_PILE", "1"}, "has not drawn"},
      {"discard below seven", plain, {}, drawn, {3, "P_PILE", "1 2"}, "down to exactly 7"},
      {"discard without numbers", plain, {}, drawn, {3, "P_PILE", "1 x"}, "wants card numbers"},
      {"second discard", plain, {}, Then(drawn, {{3, "P_PILE", "1"}}), {3, "P_PILE", "2"}, "has discarded"},
      {"discard out of turn", plain, {}, drawn, {5, "P_PILE", "11"}, "not this player's turn"},
      {"turn end before drawing", plain, {}, {}, {3, "P_TURNEND"}, "has not drawn"},
      {"second draw", plain, {}, drawn, {3, "P_DROW"}, "already drew"},
      {"draw out of turn", plain, {}, {}, {5, "P_DROW"}, "not this player's turn"},
  };
  for (const RuleCase& c : cases) {
    SCOPED_TRACE(c.what);
    Table table({3, 5, 8}, 3, Deck(c.hand3, c.hand5));
    bool ready = true;
    for (const Step& step : c.before) {
      const auto refusal = table.Do(step.id, step.kind, step.argument);
      EXPECT_EQ(refusal, std::nullopt) << step.kind << " " << step.argument;
      ready = ready && !refusal;
    }
    if (!ready) continue;
    const server::Player before = table.player(c.command.id);
    const auto refusal = table.Do(c.command.id, c.command.kind, c.command.argument);
    if (!c.refusal) {
      EXPECT_EQ(refusal, std::nullopt);
      continue;
    }
    if (!refusal) {
      ADD_FAILURE() << "taken";
      continue;
    }
    EXPECT_NE(refusal->find(c.refusal), std::string::npos) << *refusal;
    Strings answer;
    if (c.command.kind == "P_PLAY") answer = {"S_UNPLAYED,1"};
    if (c.command.kind == "P_PILE") answer = {"S_FPILE,1"};
    EXPECT_EQ(table.To(c.command.id), answer);
    EXPECT_EQ(table.mail().size(), answer.size()) << "the others hear nothing of a refusal";
    const server::Player& after = table.player(c.command.id);
    EXPECT_EQ(after.hand, before.hand);
    EXPECT_EQ(after.used, before.used);
    EXPECT_EQ(after.monster, before.monster);
  }
}

TEST(GameRules, DealPutsTrapsUnderTheDeck) {
  Table table({3, 5}, 5, {194, 1, 2, 3, 195, 4, 5, 6, 7, 11, 17, 23, 29, 35, 41, 47, 82});
  EXPECT_EQ(table.To(5), (Strings{"S_FIRSTHAND,3,1,2,3,4,5,6,7", "S_READY"}));
  EXPECT_EQ(table.To(3), (Strings{"S_FIRSTHAND,3,11,17,23,29,35,41,47", "S_OTURN,5"}));
  EXPECT_EQ(table.game().deck(), (std::deque<int32_t>{82, 194, 195}));
}

TEST(GameRules, TrapTurn) {
  Table table({3, 5}, 3, {1, 2, 3, 4, 5, 6, 7, 11, 17, 23, 29, 35, 41, 47, 194, 195, 82});
  EXPECT_EQ(table.Do(3, "P_DROW"), std::nullopt);
  EXPECT_EQ(table.To(3), Strings{"S_DREW,194"});
  EXPECT_EQ(table.To(5), (Strings{"S_ODREW,3", "S_OPEN,3"}));
  EXPECT_EQ(table.player(3).hand.size(), 7u);
  EXPECT_TRUE(table.Do(3, "P_PLAY", "3 4"));
  EXPECT_TRUE(table.Do(3, "P_TURNEND"));
  EXPECT_TRUE(table.mail().empty()) << "a turn end while a discard is owed is ignored";
  EXPECT_TRUE(table.Do(3, "P_PILE", "1 2"));
  EXPECT_EQ(table.To(3), Strings{"S_FPILE,1"});
  EXPECT_EQ(table.Do(3, "P_PILE", "1 2 3"), std::nullopt);
  EXPECT_EQ(table.To(3), Strings{"S_PILED"});
  EXPECT_EQ(table.To(5), Strings{"S_OPILE,3,1,2,3"});
  EXPECT_TRUE(table.Do(3, "P_PLAY", "3 4"));
  EXPECT_EQ(table.Do(3, "P_TURNEND"), std::nullopt);
  EXPECT_EQ(table.To(3), (Strings{"S_TURNEND,3", "S_OTURN,5"}));
  EXPECT_EQ(table.To(5), (Strings{"S_TURNEND,3", "S_READY"}));
  EXPECT_EQ(table.player(3).hand, (std::vector<int32_t>{4, 5, 6, 7}));
  // A single thief pays for a trap too.
  EXPECT_EQ(table.Do(5, "P_DROW"), std::nullopt);
  EXPECT_EQ(table.To(3), (Strings{"S_ODREW,5", "S_OPEN,5"}));
  EXPECT_EQ(table.Do(5, "P_PILE", "17"), std::nullopt);
  EXPECT_EQ(table.To(3), Strings{"S_OPILE,5,17"});
}

TEST(GameRules, TrapOnAnEmptyHandEndsTheTurnAndAnEmptyDeckEndsTheGame) {
  // Nothing but a trap: no hand is dealt, the trap takes nothing, and the
  // turn that begins with the deck empty is the last.
  Table table({3}, 3, std::vector<int32_t>{196});
  EXPECT_EQ(table.To(3), (Strings{"S_FIRSTHAND,1", "S_READY"}));
  EXPECT_EQ(table.Do(3, "P_DROW"), std::nullopt);
  EXPECT_EQ(table.To(3), (Strings{"S_DREW,196", "S_TURNEND,3", "S_READY"}));
  EXPECT_EQ(table.Do(3, "P_DROW"), std::nullopt);
  EXPECT_EQ(table.To(3), Strings{"S_FDREW"});
  EXPECT_EQ(table.Do(3, "P_TURNEND"), std::nullopt);
  EXPECT_EQ(table.To(3), (Strings{"S_TURNEND,3", "S_RESULT,3:0"}));
  EXPECT_TRUE(table.game().over());
}

TEST(GameRules, AFullHandDrawsNothing) {
  std::vector<int32_t> deck;
  for (int32_t card = 1; card <= 17; ++card) deck.push_back(card);
  Table table({3}, 3, deck);
  for (int turn = 0; turn < 9; ++turn) {
    ASSERT_EQ(table.Do(3, "P_DROW"), std::nullopt);
    ASSERT_EQ(table.Do(3, "P_TURNEND"), std::nullopt);
  }
  ASSERT_EQ(table.player(3).hand.size(), 16u);
  EXPECT_EQ(table.Do(3, "P_DROW"), std::nullopt);
  EXPECT_EQ(table.To(3), Strings{"S_FDREW"});
  EXPECT_EQ(table.game().deck(), std::deque<int32_t>{17}) << "the card stays for later";
}

struct CharmCase {
  const char* what;
  std::vector<int32_t> hand3;
  std::vector<Step> turn;  // 3's plays after the monster came
  bool charmed;
};

// 141 is a humanoid of value 4: an elf with the charm, or an elf with the
// sleep spell, wins against it on any roll. The charm follows the player's
// own screen: card 58 in any play sent this turn charms every win after it.
TEST(GameRules, TheCharmFollowsThePlayersScreen) {
  const CharmCase cases[] = {
      {"the charm fights and wins", {4, 58, 1, 2, 3, 5, 6}, {{3, "P_PLAY", "3 4 58"}}, true},
      {"the charm refused alone, then a win without it",
       {4, 58, 54, 1, 2, 3, 5},
       {{3, "P_PLAY", "3 58"}, {3, "P_PLAY", "3 54 4"}},
       true},
      {"a win without the charm", {4, 58, 54, 1, 2, 3, 5}, {{3, "P_PLAY", "3 54 4"}}, false},
      {"the charm named but not held",
       {4, 54, 1, 2, 3, 5, 6},
       {{3, "P_PLAY", "3 58"}, {3, "P_PLAY", "3 54 4"}},
       false},
  };
  for (const CharmCase& c : cases) {
    SCOPED_TRACE(c.what);
    Table table({3, 5, 8}, 3, Deck(c.hand3, {141, 17, 23, 29, 35, 41, 47}));
    for (const Step& step : MonsterOn3(141))
      ASSERT_EQ(table.Do(step.id, step.kind, step.argument), std::nullopt);
    for (const Step& step : c.turn) table.Do(step.id, step.kind, step.argument);
    EXPECT_EQ(table.player(3).monster, -1) << "the fight was won";
    EXPECT_EQ(table.game().turn().charmed, c.charmed ? 141 : -1);
    EXPECT_TRUE(table.Do(3, "P_PLAY", "3 141")) << "never to the player itself";
    const auto sent = table.Do(3, "P_PLAY", "5 141");
    if (!c.charmed) {
      EXPECT_TRUE(sent);
      continue;
    }
    EXPECT_EQ(sent, std::nullopt);
    EXPECT_EQ(table.To(3), Strings{"S_PLAYED"});
    EXPECT_EQ(table.To(5), Strings{"S_OPLAY,3,5,141"});
    EXPECT_EQ(table.player(5).monster, 141);
    EXPECT_TRUE(table.Do(3, "P_PLAY", "8 141")) << "sent once";
  }
}

// Corridor cards are multiples of 5, so landing exactly on 100 is common.
TEST(GameRules, ReachingExactlyOneHundredFindsTheTreasure) {
  const struct {
    int32_t last;  // after 30 + 30 + 30
    bool treasure;
  } cases[] = {{83, true}, {81, false}};  // 10 and 5 paces
  for (const auto& c : cases) {
    SCOPED_TRACE(c.last);
    Table table({3}, 3, {89, 102, 115, c.last, 1, 2, 3, 4, 5});
    ASSERT_EQ(table.Do(3, "P_DROW"), std::nullopt);
    for (const int32_t card : {89, 102, 115, c.last}) {
      ASSERT_EQ(table.Do(3, "P_PLAY", "3 " + std::to_string(card)), std::nullopt);
    }
    EXPECT_EQ(table.player(3).distance, c.treasure ? 100 : 95);
    EXPECT_EQ(table.player(3).atTreasure, c.treasure);
    const Strings heard = table.To(3);
    ASSERT_EQ(heard.size(), c.treasure ? 2u : 1u);
    if (c.treasure) {
      EXPECT_TRUE(heard[1].starts_with("S_TREASURE,")) << heard[1];
    }
  }
}

struct TimeOutCase {
  const char* what;
  std::vector<int32_t> deck;
  std::vector<Step> before;
  Strings to3, to5;
  std::vector<int32_t> hand3;  // after the turn
};

// Whatever state the turn is in, the server ends it as a turn end would, in
// messages the clients already understand.
TEST(GameRules, ATimedOutTurnEndsAsATurnEndWould) {
  const std::vector<int32_t> plain{81, 1, 2, 3, 4, 5, 6, 11, 17, 23, 29, 35, 41, 47, 82, 194, 83};
  const TimeOutCase cases[] = {
      {"before the draw",
       plain,
       {},
       {"S_TURNEND,3", "S_OTURN,5"},
       {"S_TURNEND,3", "S_READY"},
       {81, 1, 2, 3, 4, 5, 6}},
      {"after a play",
       plain,
       {{3, "P_DROW"}, {3, "P_PLAY", "3 81"}},
       {"S_TURNEND,3", "S_OTURN,5"},
       {"S_TURNEND,3", "S_READY"},
       {1, 2, 3, 4, 5, 6, 82}},
      {"with a trap discard owed",
       {1, 2, 3, 4, 5, 6, 7, 11, 17, 23, 29, 35, 41, 47, 194, 82},
       {{3, "P_DROW"}},
       {"S_TURNEND,3", "S_OTURN,5"},
       {"S_TURNEND,3", "S_READY"},
       {1, 2, 3, 4, 5, 6, 7}},
      {"the last turns of an empty deck: the game still ends",
       {1, 2, 3, 4, 5, 6, 7, 11, 17, 23, 29, 35, 41, 47},
       {{3, "timeout"}},
       {"S_TURNEND,5", "S_RESULT,3:0,5:0"},
       {"S_TURNEND,5", "S_RESULT,3:0,5:0"},
       {1, 2, 3, 4, 5, 6, 7}},
  };
  for (const TimeOutCase& c : cases) {
    SCOPED_TRACE(c.what);
    Table table({3, 5}, 3, c.deck);
    for (const Step& step : c.before) ASSERT_EQ(table.Do(step.id, step.kind, step.argument), std::nullopt);
    table.Do(3, "timeout");
    EXPECT_EQ(table.To(3), c.to3);
    EXPECT_EQ(table.To(5), c.to5);
    EXPECT_EQ(table.player(3).hand, c.hand3);
    if (table.game().over()) continue;
    EXPECT_EQ(table.game().turn().player, 5);
    EXPECT_FALSE(table.game().turn().trapOwed);
  }
}

struct LateCase {
  const char* what;
  std::vector<int32_t> hand3, hand5;
  std::vector<Step> before;    // the turn up to the server's turn end
  Step late;                   // sent by 3 before it heard of the end
  std::vector<int32_t> leave;  // the cards that leave 3's hand in all
};

// A command in flight when the server ends the turn: on the player's screen
// its cards were marked and left with the turn end (a revival brings one
// back), so the server's hand follows, and the command itself is refused.
TEST(GameRules, ACommandInFlightAtATimedOutTurnEndLeavesTheHandAsThePlayerSeesIt) {
  const LateCase cases[] = {
      {"a corridor",
       {81, 1, 2, 3, 4, 5, 6},
       {},
       {{3, "P_DROW"}, {3, "P_PLAY", "3 81"}},
       {3, "P_PLAY", "3 82"},
       {81, 82}},
      {"a discard", {1, 2, 3, 4, 5, 6, 7}, {}, {{3, "P_DROW"}}, {3, "P_PILE", "1"}, {1}},
      {"a revival",
       {1, 2, 3, 4, 5, 6, 7},
       {141, 17, 23, 29, 35, 41, 47},
       Then(MonsterOn3(141), {{3, "P_PLAY", "3 1"}}),
       {3, "P_PLAY", "3 1 2"},
       {2}},
      {"a play the player's rules would not send",
       {81, 1, 2, 3, 4, 5, 6},
       {},
       {{3, "P_DROW"}, {3, "P_PLAY", "3 81"}},
       {3, "P_PLAY", "3 99"},
       {81}},
  };
  for (const LateCase& c : cases) {
    SCOPED_TRACE(c.what);
    Table table({3, 5, 8}, 3, Deck(c.hand3, c.hand5));
    for (const Step& step : c.before) ASSERT_EQ(table.Do(step.id, step.kind, step.argument), std::nullopt);
    std::vector<int32_t> expected = table.player(3).hand;
    std::erase_if(expected, [&](int32_t card) {
      return std::find(c.leave.begin(), c.leave.end(), card) != c.leave.end();
    });
    table.Do(3, "timeout");
    EXPECT_TRUE(table.Do(c.late.id, c.late.kind, c.late.argument));
    EXPECT_EQ(table.To(3), Strings{c.late.kind == "P_PLAY" ? "S_UNPLAYED,1" : "S_FPILE,1"});
    EXPECT_EQ(table.player(3).hand, expected);
  }
}

// A whole game of two: 5 walks to the treasure room and back out, 3 looks
// on, plays last alone and the empty deck ends it. {T} stands for the
// treasure 5 found.
TEST(GameRules, AShortGameMessageByMessage) {
  Table table({3, 5}, 5, {89, 102, 115, 128, 81, 84, 97, 141, 1, 2, 3, 4, 6, 7, 110, 8, 123, 12, 131, 18});
  EXPECT_EQ(table.To(5), (Strings{"S_FIRSTHAND,6,89,102,115,128,81,84,97", "S_READY"}));
  EXPECT_EQ(table.To(3), (Strings{"S_FIRSTHAND,6,141,1,2,3,4,6,7", "S_OTURN,5"}));
  struct Expect {
    Step step;
    Strings to5, to3;
  };
  const Expect script[] = {
      {{5, "P_DROW"}, {"S_DREW,110"}, {"S_ODREW,5"}},
      {{5, "P_PLAY", "5 89"}, {"S_PLAYED"}, {"S_OPLAY,5,5,89"}},
      {{5, "P_PLAY", "5 102"}, {"S_PLAYED"}, {"S_OPLAY,5,5,102"}},
      {{5, "P_PLAY", "5 115"}, {"S_PLAYED"}, {"S_OPLAY,5,5,115"}},
      {{5, "P_PLAY", "5 128"}, {"S_PLAYED", "S_TREASURE,{T}"}, {"S_OPLAY,5,5,128", "S_OTREASURE,5,{T}"}},
      {{5, "P_PLAY", "5 81"}, {"S_PLAYED"}, {"S_OPLAY,5,5,81"}},  // 125, and back
      {{5, "P_PLAY", "5 84"}, {"S_PLAYED"}, {"S_OPLAY,5,5,84"}},
      {{5, "P_PLAY", "5 97"}, {"S_PLAYED"}, {"S_OPLAY,5,5,97"}},
      {{5, "P_PLAY", "5 110"}, {"S_PLAYED"}, {"S_OPLAY,5,5,110"}},  // 50
      {{5, "P_TURNEND"}, {"S_TURNEND,5", "S_OTURN,3"}, {"S_TURNEND,5", "S_READY"}},
      {{3, "P_DROW"}, {"S_ODREW,3"}, {"S_DREW,8"}},
      {{3, "P_TURNEND"}, {"S_TURNEND,3", "S_READY"}, {"S_TURNEND,3", "S_OTURN,5"}},
      {{5, "P_DROW"}, {"S_DREW,123"}, {"S_ODREW,5"}},
      {{5, "P_PLAY", "5 123"}, {"S_PLAYED"}, {"S_OPLAY,5,5,123"}},  // 25
      {{5, "P_TURNEND"}, {"S_TURNEND,5", "S_OTURN,3"}, {"S_TURNEND,5", "S_READY"}},
      {{3, "P_DROW"}, {"S_ODREW,3"}, {"S_DREW,12"}},
      {{3, "P_TURNEND"}, {"S_TURNEND,3", "S_READY"}, {"S_TURNEND,3", "S_OTURN,5"}},
      {{5, "P_DROW"}, {"S_DREW,131"}, {"S_ODREW,5"}},
      {{5, "P_PLAY", "5 131"}, {"S_PLAYED", "S_REACHED"}, {"S_OPLAY,5,5,131", "S_OREACHED,5"}},  // 0: out
      {{5, "P_TURNEND"}, {"S_TURNEND,5", "S_OTURN,3"}, {"S_TURNEND,5", "S_READY"}},
      {{3, "P_DROW"}, {"S_ODREW,3"}, {"S_DREW,18"}},                                 // the last card
      {{3, "P_TURNEND"}, {"S_TURNEND,3", "S_OTURN,3"}, {"S_TURNEND,3", "S_READY"}},  // 5 is skipped
      {{3, "P_DROW"}, {}, {"S_FDREW"}},
      {{3, "P_TURNEND"}, {"S_TURNEND,3", "S_RESULT,3:0,5:{T}"}, {"S_TURNEND,3", "S_RESULT,3:0,5:{T}"}},
  };
  auto fill = [&](Strings texts) {
    for (std::string& text : texts) {
      if (const size_t at = text.find("{T}"); at != std::string::npos) {
        text.replace(at, 3, std::to_string(table.player(5).treasure));
      }
    }
    return texts;
  };
  for (const Expect& expect : script) {
    SCOPED_TRACE(std::string(expect.step.kind) + " " + expect.step.argument);
    ASSERT_EQ(table.Do(expect.step.id, expect.step.kind, expect.step.argument), std::nullopt);
    EXPECT_EQ(table.To(5), fill(expect.to5));
    EXPECT_EQ(table.To(3), fill(expect.to3));
    if (expect.step.argument == "5 131") {
      EXPECT_EQ(table.Do(5, "P_PLAY", "5 2"), "is back out of the cave") << "only the turn end is left";
    }
    if (expect.to3 == Strings{"S_DREW,18"}) {
      EXPECT_EQ(table.Do(3, "P_PLAY", "5 141"), "the target is back out of the cave");
    }
  }
  const int32_t treasure = table.player(5).treasure;
  EXPECT_TRUE(treasure >= 200 && treasure <= 1200 && treasure % 100 == 0) << treasure;
  EXPECT_TRUE(table.game().over());
}

}  // namespace
}  // namespace gorvane::testing
