// SPDX-License-Identifier: GPL-3.0-or-later
// A game driven directly, command by command, with the mail of the last
// command kept per user.
#pragma once

#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "server/game/game.h"
#include "support/server/loopback.h"

namespace gorvane::testing {

// The deck of a seeded game, shuffled as the lobby shuffles it.
struct ShuffledBy {
  explicit ShuffledBy(uint32_t s) : seed(s) {}
  uint32_t seed;
};

class Table {
 public:
  Table(std::vector<int32_t> players, int32_t leader, std::vector<int32_t> deck, uint32_t seed = 11)
      : rng_(seed) {
    LoadCards(cards_);
    game_ = std::make_unique<server::Game>(cards_, rng_, std::move(players), leader, std::move(deck));
    game_->Start(mail_);
  }

  // A seeded game as the lobby starts one: the deck shuffled by the same
  // generator that then rolls the dice.
  Table(std::vector<int32_t> players, int32_t leader, const ShuffledBy& shuffle) : rng_(shuffle.seed) {
    LoadCards(cards_);
    std::vector<int32_t> deck = server::ShuffledDeck(cards_, rng_);
    game_ = std::make_unique<server::Game>(cards_, rng_, std::move(players), leader, std::move(deck));
    game_->Start(mail_);
  }

  server::Game::Refusal Do(int32_t id, std::string_view kind, std::string_view argument = "*") {
    mail_.clear();
    if (kind == "P_DROW") return game_->Draw(id, mail_);
    if (kind == "P_PLAY") return game_->Play(id, argument, mail_);
    if (kind == "P_PILE") return game_->Pile(id, argument, mail_);
    if (kind == "P_TURNEND") return game_->EndTurn(id, mail_);
    if (kind == "timeout") {
      game_->TimeOut(mail_);
      return std::nullopt;
    }
    return "no such command in a game";
  }

  // What the last command (or the start) sent to one user, in order.
  std::vector<std::string> To(int32_t id) const {
    std::vector<std::string> texts;
    for (const server::Envelope& envelope : mail_) {
      if (envelope.to == id) texts.push_back(envelope.text);
    }
    return texts;
  }

  const server::Game& game() const { return *game_; }
  const server::Player& player(int32_t id) const { return *game_->FindPlayer(id); }
  const server::Mail& mail() const { return mail_; }
  const CardCatalogue& cards() const { return cards_; }

 private:
  CardCatalogue cards_;
  std::mt19937 rng_;
  std::unique_ptr<server::Game> game_;
  server::Mail mail_;
};

}  // namespace gorvane::testing
