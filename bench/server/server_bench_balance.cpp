// SPDX-License-Identifier: GPL-3.0-or-later
// balance: seeded games of three headless players in process (the server's
// game room and three client game rooms, balance_table.h), on the deck as
// it was before tuning and on the shipped one: how many own turns a player
// takes, how many get back out, how often the deck runs out; then one
// player of each strength, seats rotated, and how often the stronger ones
// place above the weakest.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "balance_table.h"
#include "server_bench.h"
#include "spine/ports.h"

namespace gorvane::bench {
namespace {

// Histogram rows of this many own turns each, the last open-ended.
constexpr int kBucket = 5;
constexpr int kBuckets = 16;
constexpr int kBarWidth = 50;

CardCatalogue ReadDeck(const std::string& path) {
  struct Quiet : ErrorBox, DebugLog {
    void ShowError(std::string_view) override {}
    void AppendLine(std::string_view) override {}
  } quiet;
  CardCatalogue cards;
  cards.LoadCardList(path, quiet, quiet);
  return cards;
}

double Share(int part, int whole) { return whole == 0 ? 0.0 : 100.0 * part / whole; }

int Percentile(std::vector<int> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

struct Tally {
  std::vector<int> turns;
  int players = 0;
  int out = 0;
  int games = 0;
  int deckOut = 0;
  int stalled = 0;
  int refused = 0;
  double seconds = 0;
};

Tally PlayMany(const std::string& deck, int games, const std::vector<int>& strengths) {
  const CardCatalogue cards = ReadDeck(deck);
  Tally tally;
  const auto start = Clock::now();
  for (int g = 0; g < games; ++g) {
    const TableOutcome outcome = PlayTable(deck, cards, static_cast<uint32_t>(g + 1), strengths);
    ++tally.games;
    tally.deckOut += outcome.deckOut ? 1 : 0;
    tally.stalled += outcome.stalled ? 1 : 0;
    tally.refused += outcome.refused;
    for (const SeatOutcome& seat : outcome.seats) {
      tally.turns.push_back(seat.turns);
      ++tally.players;
      tally.out += seat.out ? 1 : 0;
    }
  }
  tally.seconds = Seconds(Clock::now() - start);
  return tally;
}

void PrintTally(const char* label, const std::string& deck, const Tally& tally) {
  std::printf("  %s: %s\n", label, deck.c_str());
  std::printf("    own turns per player: median %d, p90 %d\n", Percentile(tally.turns, 0.5),
              Percentile(tally.turns, 0.9));
  std::vector<int> rows(kBuckets, 0);
  for (const int turns : tally.turns) ++rows[static_cast<size_t>(std::min(turns / kBucket, kBuckets - 1))];
  const int most = std::max(1, *std::max_element(rows.begin(), rows.end()));
  for (int b = 0; b < kBuckets; ++b) {
    if (rows[static_cast<size_t>(b)] == 0) continue;
    const std::string span =
        b == kBuckets - 1 ? std::to_string(b * kBucket) + "+"
                          : std::to_string(b * kBucket) + "-" + std::to_string(b * kBucket + kBucket - 1);
    std::printf(
        "      %7s %5d %s\n", span.c_str(), rows[static_cast<size_t>(b)],
        std::string(static_cast<size_t>(rows[static_cast<size_t>(b)] * kBarWidth / most), '#').c_str());
  }
  std::printf("    players back out: %.1f%% (%d of %d); deck ran out in %.1f%% of games (%d of %d)\n",
              Share(tally.out, tally.players), tally.out, tally.players, Share(tally.deckOut, tally.games),
              tally.deckOut, tally.games);
  if (tally.stalled > 0) std::printf("    STALLED games: %d\n", tally.stalled);
  if (tally.refused > 0) std::printf("    REFUSED by the server: %d plays and discards\n", tally.refused);
  std::printf("    wall time: %.2f s for %d games (%.2f ms a game)\n", tally.seconds, tally.games,
              1000.0 * tally.seconds / std::max(1, tally.games));
}

// One player of each strength, the six seatings by turns: who leads and
// who follows whom changes what each one meets.
void Strengths(const std::string& deck, int games) {
  const CardCatalogue cards = ReadDeck(deck);
  std::vector<int> order{1, 2, 3};
  int above31 = 0, above21 = 0, above32 = 0, refused = 0, stalled = 0;
  int out[4] = {};
  std::vector<int> turns[4];
  const auto start = Clock::now();
  for (int g = 0; g < games; ++g) {
    const TableOutcome outcome = PlayTable(deck, cards, static_cast<uint32_t>(100000 + g), order);
    refused += outcome.refused;
    stalled += outcome.stalled ? 1 : 0;
    int32_t amount[4] = {};
    for (const SeatOutcome& seat : outcome.seats) {
      amount[seat.strength] = seat.amount;
      out[seat.strength] += seat.out ? 1 : 0;
      turns[seat.strength].push_back(seat.turns);
    }
    above31 += amount[3] > amount[1] ? 1 : 0;
    above21 += amount[2] > amount[1] ? 1 : 0;
    above32 += amount[3] > amount[2] ? 1 : 0;
    std::next_permutation(order.begin(), order.end());
  }
  std::printf("  strengths, one player of each, seats rotated, %d games on %s (%.2f s):\n", games,
              deck.c_str(), Seconds(Clock::now() - start));
  std::printf("    3 placed above 1 in %.1f%%, 2 above 1 in %.1f%%, 3 above 2 in %.1f%% of games\n",
              Share(above31, games), Share(above21, games), Share(above32, games));
  if (refused + stalled > 0)
    std::printf("    REFUSED by the server: %d; STALLED games: %d\n", refused, stalled);
  for (int s = 1; s <= 3; ++s) {
    std::printf("    strength %d: back out %.1f%%, own turns median %d\n", s, Share(out[s], games),
                Percentile(turns[s], 0.5));
  }
}

}  // namespace

void RunBalance(const BalanceSettings& settings) {
  std::printf(
      "balance: %d seeded games of three strength-2 players each deck, in process (the server's game\n"
      "  room judging, three client game rooms fed through the receive path, no sockets)\n",
      settings.games);
  const Tally before = PlayMany(settings.before, settings.games, {2, 2, 2});
  PrintTally("before", settings.before, before);
  const Tally after = PlayMany(settings.after, settings.games, {2, 2, 2});
  PrintTally("after", settings.after, after);
  std::printf("    after/before: wall time x%.2f, median own turns x%.2f\n",
              after.seconds / std::max(before.seconds, 1e-9),
              static_cast<double>(Percentile(after.turns, 0.5)) / std::max(1, Percentile(before.turns, 0.5)));
  // On the old deck too: there the deck runs out, and who is still inside
  // then is where strength could tell.
  Strengths(settings.before, settings.games);
  Strengths(settings.after, settings.games);
}

}  // namespace gorvane::bench
