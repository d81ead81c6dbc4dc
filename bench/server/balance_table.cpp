// SPDX-License-Identifier: GPL-3.0-or-later
#include "balance_table.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <random>

#include "bot/strength.h"
#include "server/base/wire.h"
#include "server/game/game.h"
#include "support/client/receiving_client.h"

namespace gorvane::bench {
namespace {

// Far above any game's clicks: only a planner that loops reaches it.
constexpr int kMaxClicks = 100000;

struct StillClock : Clock {
  LocalTime Now() const override { return {}; }
};

// What the client sends, kept for the table to hand to the game.
struct CommandTap : testing::UpTransport {
  void Send(std::string_view bytes) override { sent.emplace_back(bytes); }
  std::deque<std::string> sent;
};

struct Seat {
  Seat(const std::string& deckPath, const Clock& clock, int32_t id, int strength, uint32_t seed)
      : id(id), client(tap, clock, Profile{"P" + std::to_string(id), "127.0.0.1", "guest", ""}, deckPath) {
    planner = bot::MakePlanner(strength, client.lobby().cardCatalogue(), seed);
  }
  int32_t id;
  CommandTap tap;
  testing::ReceivingClient<> client;
  std::unique_ptr<bot::TurnPlanner> planner;
  int turns = 0;
  GameRoom& room() { return *client.currentRoom(); }
};

class Table {
 public:
  Table(const std::string& deckPath, const CardCatalogue& cards, uint32_t seed,
        const std::vector<int>& strengths)
      : rng_(seed) {
    std::vector<int32_t> ids;
    std::vector<std::string> roster;
    for (size_t i = 0; i < strengths.size(); ++i) {
      const auto id = static_cast<int32_t>(i + 1);
      ids.push_back(id);
      roster.push_back(server::Record({std::to_string(id), i == 0 ? "1" : "0", "P" + std::to_string(id)}));
      seats_.push_back(std::make_unique<Seat>(deckPath, clock_, id, strengths[i], seed * 7919u + id));
    }
    const std::string plist = server::Message("S_PLIST", roster);
    for (auto& seat : seats_) {
      const std::string id = std::to_string(seat->id);
      Deliver(*seat, "S_CONNECT," + id + ",welcome");
      Deliver(*seat, (seat->id == 1 ? "S_CREATE," : "S_PJOIN,") + id + ",1");
      Deliver(*seat, plist);
      seat->tap.sent.clear();
    }
    std::vector<int32_t> deck = server::ShuffledDeck(cards, rng_);
    game_ = std::make_unique<server::Game>(cards, rng_, ids, 1, std::move(deck));
  }

  TableOutcome Play() {
    server::Mail mail;
    game_->Start(mail);
    Post(mail);
    TableOutcome outcome;
    for (int clicks = 0; !game_->over() && clicks < kMaxClicks; ++clicks) {
      Seat& seat = *seats_[static_cast<size_t>(game_->turn().player - 1)];
      const auto click = seat.planner->Next(seat.room(), seat.id);
      if (!click) {
        outcome.stalled = true;
        break;
      }
      const size_t before = seat.tap.sent.size();
      bot::PressClick(seat.room(), *click);
      seat.planner->Clicked(*click, seat.tap.sent.size() != before);
      Pump();
    }
    outcome.stalled = outcome.stalled || !game_->over();
    bool allOut = true;
    for (size_t i = 0; i < seats_.size(); ++i) {
      const server::Player& player = game_->players()[i];
      int32_t amount = 0;
      for (const server::Result& result : game_->results()) {
        if (result.id == player.id) amount = result.amount;
      }
      outcome.seats.push_back({0, seats_[i]->turns, player.out, amount});
      const bot::PlayCounts& counts = seats_[i]->planner->counts();
      outcome.refused += counts.unplayed + counts.refusedDiscards;
      allOut = allOut && player.out;
    }
    outcome.deckOut = game_->over() && !allOut;
    return outcome;
  }

 private:
  void Deliver(Seat& seat, const std::string& text) {
    seat.client.Read(text + '\0');
    if (text == "S_READY") ++seat.turns;
    if (GameRoom* room = seat.client.currentRoom()) seat.planner->Observe(text, *room, seat.id);
  }
  void Post(const server::Mail& mail) {
    for (const server::Envelope& envelope : mail) {
      Deliver(*seats_[static_cast<size_t>(envelope.to - 1)], envelope.text);
    }
  }
  // Every command the clients have sent, and those their answers make them send.
  void Pump() {
    for (bool any = true; any;) {
      any = false;
      for (auto& seat : seats_) {
        while (!seat->tap.sent.empty()) {
          std::string bytes = std::move(seat->tap.sent.front());
          seat->tap.sent.pop_front();
          if (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
          const server::Command command = server::ParseCommand(bytes);
          server::Mail mail;
          if (command.kind == "P_DROW") {
            game_->Draw(seat->id, mail);
          } else if (command.kind == "P_PLAY") {
            game_->Play(seat->id, command.argument, mail);
          } else if (command.kind == "P_PILE") {
            game_->Pile(seat->id, command.argument, mail);
          } else if (command.kind == "P_TURNEND") {
            game_->EndTurn(seat->id, mail);
          }
          Post(mail);
          any = true;
        }
      }
    }
  }

  StillClock clock_;
  std::mt19937 rng_;
  std::vector<std::unique_ptr<Seat>> seats_;
  std::unique_ptr<server::Game> game_;
};

}  // namespace

TableOutcome PlayTable(const std::string& deckPath, const CardCatalogue& cards, uint32_t seed,
                       const std::vector<int>& strengths) {
  Table table(deckPath, cards, seed, strengths);
  TableOutcome outcome = table.Play();
  for (size_t i = 0; i < outcome.seats.size(); ++i) outcome.seats[i].strength = strengths[i];
  return outcome;
}

}  // namespace gorvane::bench
