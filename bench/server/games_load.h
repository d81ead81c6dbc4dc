// SPDX-License-Identifier: GPL-3.0-or-later
// The games part's server, load and measurement, for the parts that measure
// something else under the same load: 500 players of whom 200 play 50
// seeded games, a measuring client that times lobby and party chat lines,
// and the server's CPU per 1,000 messages while it does.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "server_bench.h"
#include "spine/framing.h"
#include "support/server/scripted_player.h"

namespace gorvane::bench {

// Where the games part's server listens, on a port of its choosing.
inline constexpr const char* kGamesAddress = "127.0.0.30";

// The server as the games part runs it: throughput, not the defences.
gorvane::server::ServerOptions GamesOptions(const GamesSettings& settings);

// The measuring client: one line out, wait for its own echo.
class Prober {
 public:
  explicit Prober(uint16_t port);
  ~Prober();
  Prober(const Prober&) = delete;
  Prober& operator=(const Prober&) = delete;

  // A lobby chat line goes to every player; a party chat line here only
  // comes back.
  double RoundTripMicroseconds(bool lobby, int k);

 private:
  void Send(const std::string& bytes);
  // The first message that starts with (or, exactly, is) the text; others
  // are read past.
  std::string WaitFor(const std::string& text, bool exactly = false);

  int fd_;
  int32_t id_ = 0;
  MessageFramer framer_;
  std::deque<std::string> inbox_;
};

// Everybody else, on one thread: lobby players who chat now and then, and
// parties of scripted players who play game after game.
class Load {
 public:
  Load(uint16_t port, const gorvane::CardCatalogue& cards, const GamesSettings& settings);
  ~Load();
  Load(const Load&) = delete;
  Load& operator=(const Load&) = delete;
  // Every party has begun its first game.
  bool ready() const { return ready_; }
  // Players greeted so far: the server greets so many a second, so the
  // last lobby players join well after the games have begun.
  size_t joined() const { return joined_; }
  uint64_t chatLines() const { return chatLines_; }
  uint64_t moves() const { return moves_; }
  uint64_t games() const { return games_; }

 private:
  struct Party {
    int32_t number = 0;
    size_t joined = 0;
    std::vector<size_t> members;  // client indices, the leader first
    bool started = false;
  };
  struct Client {
    int fd = -1;
    int32_t id = 0;
    bool joined = false;
    MessageFramer framer;
    std::string pending;
    std::optional<size_t> party;
    bool sentJoin = false;
    std::optional<gorvane::testing::ScriptedPlayer> player;
    Clock::time_point next{};  // next chat line, next move or the next game
  };

  void Send(Client& client, std::string_view kind, std::string_view argument);
  static void Flush(Client& client);
  Clock::duration ChatGap();
  void Handle(size_t index, std::string_view message);
  void Tick();
  void Run();

  uint16_t port_;
  const gorvane::CardCatalogue& cards_;
  GamesSettings settings_;
  std::mt19937 random_{5};
  std::vector<Client> clients_;
  std::vector<Party> parties_;
  std::vector<size_t> restart_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ready_{false};
  std::atomic<size_t> joined_{0};
  std::atomic<uint64_t> chatLines_{0};
  std::atomic<uint64_t> moves_{0};
  std::atomic<uint64_t> games_{0};
  std::thread thread_;
};

struct Trips {
  double median = 0;
  double p99 = 0;
};

struct Measured {
  Trips lobby;
  Trips party;
  double cpuPerThousand = 0;  // ms of server CPU per 1,000 messages in and out
  double messagesPerSecond = 0;
  double seconds = 0;
  std::vector<double> lobbyTrips;  // us, as timed
};

// settings.samples lobby and party lines by turns, so that both meet the
// same conditions, and the loop's CPU meanwhile.
Measured Probe(const ServerThread& server, Prober& prober, const GamesSettings& settings);

}  // namespace gorvane::bench
