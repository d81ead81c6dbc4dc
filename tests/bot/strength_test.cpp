// SPDX-License-Identifier: GPL-3.0-or-later
// The planners of strength 1 and 3 on a real game room: the weakest only
// ever clicks what the rules and the server take, the strongest makes the
// choice a careful player makes where that choice is clear.
#include "bot/strength.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "../client/game_fakes.h"

namespace gorvane::bot {
namespace {

std::string CardList() {
  const std::map<int, std::string> cards = {
      {1, "c1 L Path 0 0 10"},   {2, "c2 L Road 0 0 20"},   {3, "c3 F Squire 0 1 2"},
      {4, "c4 H Orc 0 1 8"},     {5, "c5 U Ghoul 0 1 6"},   {6, "c6 C Priest 0 1 0"},
      {7, "c7 P Detour 0 0 0"},  {8, "c8 O Pit 0 0 0"},     {9, "c9 T Rogue 0 1 1"},
      {10, "c10 E Elf 0 1 3"},   {11, "c11 F Hero 0 3 3"},  {12, "c12 W Dragon 0 1 20"},
      {13, "c13 S Bolt 0 2 1"},  {14, "c14 L Hall 0 0 30"}, {15, "c15 L Stair 0 0 5"},
      {54, "c54 S Sleep 0 0 8"}, {58, "c58 S Charm 0 1 0"},
  };
  std::string text;
  for (int n = 1; n <= 60; ++n) {
    const auto it = cards.find(n);
    text += (it != cards.end() ? it->second : "f W Filler 0 0 9") + "\r\n";
  }
  return text;
}

// Lead (3), Me (5) and Third (7); the own turn begins with the hand given.
class Seat {
 public:
  Seat(int strength, uint32_t seed) {
    testing::LoadCards(f.catalogue, CardList());
    planner = MakePlanner(strength, f.catalogue, seed);
    f.room.createPartyList("3:1:Lead,5:0:Me,7:0:Third");
    f.room.RefreshPartyList();
  }
  party_t& Member(int32_t id) { return *f.room.roster().Find(id); }
  void Turn(const std::string& hand, int32_t drawn) {
    f.room.GetHand(hand);
    f.room.DispatchReady();
    Press();
    f.room.DrowCard(drawn);
    f.commands.sent.clear();
  }
  // The planner's click, made as a user makes it; what the room sent.
  std::string Press() {
    const auto click = planner->Next(f.room, f.myId);
    if (!click) return "(nothing)";
    const size_t before = f.commands.sent.size();
    PressClick(f.room, *click);
    const bool sent = f.commands.sent.size() > before;
    planner->Clicked(*click, sent);
    return sent ? f.commands.sent.back() : "(refused)";
  }
  void Answer(const std::string& message) { planner->Observe(message, f.room, f.myId); }

  testing::RoomFixture f;
  std::unique_ptr<TurnPlanner> planner;
};

std::vector<int32_t> Numbers(const std::string& text) {
  std::istringstream in(text);
  std::vector<int32_t> numbers;
  for (int32_t n = 0; in >> n;) numbers.push_back(n);
  return numbers;
}

// What the server checks beyond the client's rules, for a play the room
// sent: why it would refuse it, or "" when it would take it.
std::string ServerRefusal(Seat& seat, const std::string& argument, const std::set<int32_t>& fought) {
  const std::vector<int32_t> numbers = Numbers(argument);
  const PlayKind kind = seat.f.room.state().playKind;
  if (kind == PlayKind::ClericRevive || kind == PlayKind::ReviveUsed) {
    for (size_t i = 1; i < numbers.size(); ++i) {
      const char letter = seat.f.catalogue.Card(numbers[i]).kind;
      if (letter != 'C' && fought.count(numbers[i]) == 0) return "revives a card that did not fight";
    }
    return "";
  }
  if (numbers.size() < 2) return "no cards";
  const int32_t target = numbers[0];
  const card_t& first = seat.f.catalogue.Card(numbers[1]);
  if (first.kind == 'H' || first.kind == 'U' || first.kind == 'W') {
    if (target == seat.f.myId) return "monster to itself";
    if (seat.Member(target).monster != -1) return "target carries a monster";
    if (target == 7) return "target is back out";
    return "";
  }
  if (target != seat.f.myId) return "only a monster goes to another member";
  bool spell = false, caster = false, humanoidOnly = false;
  for (size_t i = 1; i < numbers.size(); ++i) {
    const char kind = seat.f.catalogue.Card(numbers[i]).kind;
    spell = spell || kind == 'S';
    caster = caster || kind == 'E' || kind == 'M';
    humanoidOnly = humanoidOnly || numbers[i] == 54 || numbers[i] == 58;
  }
  const int32_t monster = seat.Member(seat.f.myId).monster;
  const bool fight = seat.f.room.state().playKind == PlayKind::Fight;
  if (fight && spell && !caster) return "a spell without a caster";
  if (fight && humanoidOnly && (monster == -1 || seat.f.catalogue.Card(monster).kind != 'H'))
    return "54 or 58 against a monster that is not humanoid";
  return "";
}

TEST(RandomPlanner, OnlyEverMakesPlaysTheRulesAndTheServerTake) {
  const struct {
    const char* what;
    std::string hand;
    int32_t drawn;
    int32_t monster;   // attached to the player before the turn
    bool leadCarries;  // Lead already carries a monster
  } cases[] = {
      {"walking, monsters to send", "1 2 4 5 3 9 13", 14, -1, false},
      {"a humanoid to beat, spells and the charm", "3 10 13 58 54 6 7 9", 11, 4, false},
      {"an undead: no sleep, no charm", "54 58 13 3 6 10", 9, 5, false},
      {"Lead carries one, Third is out: no one to send to", "4 5 12 1 2", 3, -1, true},
      {"a trap drawn", "1 4 6 9 10 13", 8, -1, false},
      {"a trap with a short hand", "1 4", 8, -1, false},
      {"more than seven cards, nothing to play", "3 9 10 11 13 6 7 54 58", 15, 12, false},
      {"a monster sent, then a fight: only its wounded revive", "6 5 3", 9, 4, false},
  };
  for (const auto& c : cases) {
    for (uint32_t seed = 1; seed <= 300; ++seed) {
      SCOPED_TRACE(std::string(c.what) + ", seed " + std::to_string(seed));
      Seat seat(1, seed);
      seat.Answer("S_OREACHED,7");
      if (c.leadCarries) seat.Member(3).monster = 12;
      if (c.monster != -1) seat.f.room.DispatchTargetPlay(3, c.monster);
      seat.Turn(c.hand, c.drawn);
      std::string sent;
      std::set<int32_t> fought;
      for (int click = 0; click < 30 && sent != "P_TURNEND *"; ++click) {
        const PlayKind before = seat.f.room.state().playKind;
        sent = seat.Press();
        ASSERT_NE(sent, "(refused)") << "the client's rules refused it";
        ASSERT_NE(sent, "(nothing)") << "a turn must end";
        if (sent.starts_with("P_PLAY ")) {
          ASSERT_EQ(ServerRefusal(seat, sent.substr(7), fought), "")
              << sent << " after " << PlayKindName(before);
          const bool fight = seat.f.room.state().playKind == PlayKind::Fight;
          if (fight) {
            const std::vector<int32_t> cards = Numbers(sent.substr(7));
            fought.insert(cards.begin() + 1, cards.end());
          }
          seat.f.room.DispatchPlayed(fight ? "1" : "");
          seat.Answer("S_PLAYED");
        } else if (sent.starts_with("P_PILE ")) {
          seat.f.room.DispatchPiled(0);
          seat.Answer("S_PILED");
        }
      }
      EXPECT_EQ(sent, "P_TURNEND *");
    }
  }
}

TEST(LookaheadPlanner, MakesTheClearChoice) {
  struct Member {
    int32_t distance = 0;
    bool atTreasure = false;
    bool returning = false;
    int32_t treasure = 0;
  };
  const struct {
    const char* what;
    Member me, lead, third;
    std::string hand;
    int32_t drawn;
    int32_t monster;          // attached to the player
    bool corridorLaid;        // a corridor card on the current leg
    const char* expected;     // the first play
    bool afterFight = false;  // the turn's last play was a fight, lost
  } cases[] = {
      {"the monster to the richer of two on the way back",
       {20},
       {60, false, true, 1200},
       {20, false, true, 200},
       "4 5 1",
       9,
       -1,
       false,
       "P_PLAY 3 4"},
      {"the same treasure: to the one nearer the exit",
       {20},
       {60, false, true, 600},
       {20, false, true, 600},
       "4 5 1",
       9,
       -1,
       false,
       "P_PLAY 7 4"},
      {"in the treasure room a monster sent turns back for nothing",
       {100, true},
       {30},
       {50},
       "1 2 4",
       9,
       -1,
       false,
       "P_PLAY 7 4"},
      {"in the treasure room without a monster: the shortest corridor",
       {100, true},
       {30},
       {50},
       "2 14 1",
       9,
       -1,
       false,
       "P_PLAY 5 1"},
      {"a cleric rather than giving a corridor back to a detour",
       {40},
       {},
       {},
       "7 6 3",
       9,
       12,
       true,
       "P_PLAY 5 6"},
      {"after a lost fight a cleric alone revives nothing: the detour",
       {40},
       {},
       {},
       "7 6 3",
       9,
       12,
       true,
       "P_PLAY 5 7",
       true},
      {"no further in than the treasure room needs: 20 and 5 for 25",
       {75},
       {},
       {},
       "14 2 15 3",
       9,
       -1,
       false,
       "P_PLAY 5 2"},
      {"the last monster card is kept for the turn back",
       {20},
       {30},
       {50},
       "4 1",
       9,
       -1,
       false,
       "P_PLAY 5 1"},
      {"on the way back every corridor, longest first",
       {60, false, true, 500},
       {},
       {},
       "1 14 2",
       9,
       -1,
       false,
       "P_PLAY 5 14"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Seat seat(3, 1);
    const std::pair<int32_t, const Member*> members[] = {{5, &c.me}, {3, &c.lead}, {7, &c.third}};
    for (const auto& [id, m] : members) {
      party_t& member = seat.Member(id);
      member.distance = m->distance;
      member.atTreasure = m->atTreasure;
      member.returning = m->returning;
      member.treasure = m->treasure;
    }
    if (c.corridorLaid) seat.f.room.screen().corridorList.Append("Path(10)");
    if (c.monster != -1) seat.f.room.DispatchTargetPlay(3, c.monster);
    seat.Turn(c.hand, c.drawn);
    if (c.afterFight) seat.f.room.state().playKind = PlayKind::Fight;
    EXPECT_EQ(seat.Press(), c.expected);
  }
}

}  // namespace
}  // namespace gorvane::bot
