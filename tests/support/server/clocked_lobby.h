// SPDX-License-Identifier: GPL-3.0-or-later
// The lobby on a clock the test sets, speaking into a recorder: what it
// sends to whom, whom it cuts off, which logins it asks to check.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "server/base/metrics.h"
#include "server/lobby/lobby.h"
#include "support/server/loopback.h"

namespace gorvane::testing {

using namespace std::chrono_literals;
using server::TimePoint;

struct Recorder : server::Outbox {
  void Send(int32_t user, std::string_view message) override { to[user].emplace_back(message); }
  void SendFramed(int32_t user, const server::Framed& message, server::ListSlot) override {
    to[user].emplace_back(message->substr(0, message->size() - 1));
  }
  void Close(int32_t user, std::string_view) override { closed.push_back(user); }
  void Cut(int32_t user, std::string_view) override { cut.push_back(user); }
  void CheckLogin(int32_t, const std::string& login, const std::string&, bool) override {
    checked.push_back(login);
  }
  size_t Count(int32_t user, std::string_view prefix) {
    return static_cast<size_t>(std::count_if(to[user].begin(), to[user].end(),
                                             [&](const std::string& m) { return m.starts_with(prefix); }));
  }
  std::map<int32_t, std::vector<std::string>> to;
  std::vector<int32_t> cut;
  std::vector<int32_t> closed;
  std::vector<std::string> checked;
};

// Users 1 (A), 2 (B) and so on joined at start, each from 192.0.2.<id>;
// turns run out after 10 s unless told otherwise. The wall clock reads wall.
struct ClockedLobby {
  explicit ClockedLobby(size_t maxUsers = 64, server::Duration turnTime = 10s, int32_t joined = 2) {
    LoadCards(cards);
    std::string error;
    store = server::AccountStore::Open(":memory:", error);
    server::LobbyRules rules;
    rules.turnTime = turnTime;
    rules.maxUsers = maxUsers;
    rules.wallClock = [this] { return wall; };
    lobby = std::make_unique<server::Lobby>(
        cards, *store, rng, outbox, [this](std::string_view line) { log.emplace_back(line); }, rules,
        &metrics);
    for (int32_t id = 1; id <= joined; ++id) {
      lobby->Connect(id, At(id));
      Do(id, "G_JOIN", std::string(1, static_cast<char>('A' + id - 1)), start);
    }
  }
  static server::Arrival At(int32_t id) {
    server::Arrival arrival;
    arrival.address = "192.0.2." + std::to_string(id);
    return arrival;
  }
  bool Logged(std::string_view part) const {
    return std::any_of(log.begin(), log.end(),
                       [&](const std::string& line) { return line.find(part) != std::string::npos; });
  }
  void Do(int32_t id, std::string_view kind, std::string_view argument, TimePoint now) {
    lobby->Handle(id, std::string(kind) + " " + std::to_string(id) + " " + std::string(argument), now);
  }

  // How often the defence was counted, as /metrics tells it.
  int Defended(std::string_view label) const {
    const std::string text = metrics.Exposition();
    const std::string key = "defence=\"" + std::string(label) + "\"} ";
    const size_t at = text.find(key);
    return at == std::string::npos ? 0 : std::stoi(text.substr(at + key.size()));
  }

  const TimePoint start = TimePoint{} + 1h;
  // 2026-12-10 12:00 UTC.
  int64_t wall = 1796904000;
  CardCatalogue cards;
  std::unique_ptr<server::AccountStore> store;
  server::Metrics metrics{server::Lobby::CommandKinds()};
  std::mt19937 rng{7};
  Recorder outbox;
  std::vector<std::string> log;
  std::unique_ptr<server::Lobby> lobby;
};

}  // namespace gorvane::testing
