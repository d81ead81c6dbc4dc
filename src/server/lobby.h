// SPDX-License-Identifier: GPL-3.0-or-later
// The server's side of the lobby: who is connected and under what name,
// logins and statistics, the parties and their games. Commands come in one
// message at a time; everything said goes out through the outbox, so the
// lobby runs the same over sockets and in a test.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "client/card_catalogue.h"
#include "server/accounts.h"
#include "server/game.h"
#include "server/limits.h"
#include "server/logins.h"
#include "server/out_queue.h"

namespace gorvane::server {

using LogSink = std::function<void(std::string_view)>;

class Outbox {
 public:
  virtual ~Outbox() = default;
  // One message, without its terminator.
  virtual void Send(int32_t user, std::string_view message) = 0;
  // A message framed once for many users; a list in its slot.
  virtual void SendFramed(int32_t user, const Framed& message, ListSlot slot) = 0;
  // Ends the user's connection once what was sent to it has gone out.
  virtual void Close(int32_t user, std::string_view why) = 0;
  // Ends the user's connection at once, as if it were lost.
  virtual void Cut(int32_t user, std::string_view why) = 0;
  // Checks a login; the answer comes to Lobby::LoginAnswered, and nothing
  // more the user sends is handled until then.
  virtual void CheckLogin(int32_t user, const std::string& login, const std::string& password) = 0;
  // Work the loop must not wait for (a database read); its reply runs back
  // on the loop. Here, for want of a worker, at once.
  virtual void OffLoop(std::function<std::function<void()>()> job) {
    if (auto reply = job()) reply();
  }
};

// What one user may do to the others, and how long a turn may last.
struct LobbyRules {
  size_t maxUsers = 64;
  RateRule chat{10, 2000};    // G_CHAT and P_CHAT
  RateRule broadcasts{5, 0};  // P_CREATE, P_JOIN, P_BYE and G_RENAME
  RateRule logins{5, 0};      // G_LOGIN attempts of one connection
  Duration window = std::chrono::seconds(10);
  Duration turnTime = std::chrono::seconds(120);  // zero: turns are not timed
  // When full, a newcomer takes the place of the user silent this long
  // (zero: never), never of one in a running game.
  Duration idleGiveWay = std::chrono::seconds(600);
  // Greetings and departures told to everybody, server-wide, per second:
  // each goes to every user, so joins past it wait their turn.
  size_t relaysPerSecond = 20;
};

inline constexpr size_t kMaxPartySize = 6;
// A list that has not changed since a user last got it goes to that user
// again at most this often; asked sooner, the user gets it once the time is
// up. A changed list goes out at once: the client needs the newest names.
inline constexpr auto kListGap = std::chrono::milliseconds(500);

struct User {
  int32_t id = 0;
  bool joined = false;
  std::string name;
  // The name as the screen shows it, for telling names apart.
  std::string nameKey;
  std::optional<std::string> login;
  // Statistics of a user who has not logged in: this connection's only.
  Statistics guest;
  int32_t party = 0;
  // When the user last sent anything, for giving way when the lobby is full.
  TimePoint lastHeard{};
  // G_JOIN came while greetings were at their bound: greeted in turn.
  bool joinWaiting = false;
  RateLimit chat;
  RateLimit broadcasts;
  // G_INFO, which costs a database read: as many as the broadcasts.
  RateLimit questions;
  RateLimit logins;
  // Refusals written to the log: a client sending nonsense must not flood it.
  mutable RateLimit refusalsLogged;
  // Per list (users, parties): when it last went out, in which version, and
  // whether it is owed.
  std::array<TimePoint, 2> listSent{};
  std::array<uint64_t, 2> listVersion{};
  std::array<bool, 2> listOwed{};
};

struct Party {
  int32_t number = 0;
  int32_t leader = 0;
  std::vector<int32_t> members;  // ascending ids
  std::unique_ptr<Game> game;    // while playing
  // The turn last seen to begin and when it runs out.
  uint64_t turnSeen = 0;
  TimePoint turnDeadline{};
};

struct LobbyContext;
class Metrics;

class Lobby {
 public:
  // Counts into metrics, or into metrics of its own when none are given.
  Lobby(const CardCatalogue& cards, AccountStore& accounts, std::mt19937& rng, Outbox& outbox, LogSink log,
        LobbyRules rules = {}, Metrics* metrics = nullptr);
  ~Lobby();
  Lobby(const Lobby&) = delete;
  Lobby& operator=(const Lobby&) = delete;

  // A new connection, given its user id: greets it with S_CONNECT.
  void Connect(int32_t user);
  // One trimmed message from the user, arrived at now.
  void Handle(int32_t user, std::string_view message, TimePoint now);
  // The connection was lost without a goodbye.
  void Disconnect(int32_t user);
  // The answer to a login the outbox was asked to check.
  void LoginAnswered(int32_t user, const std::string& login, LoginOutcome outcome);
  // Ends the turns that have run out and writes the game results owed;
  // when to look next, if anything is due.
  std::optional<TimePoint> Tick(TimePoint now);
  // Writes the game results owed (when stopping, turns left alone); when
  // to try again, if a write failed.
  std::optional<TimePoint> PumpResults(TimePoint now);
  size_t resultsOwed() const;
  // Once no off-loop work runs any more: the results still not stored.
  std::vector<OwedResult> UnwrittenResults();

  const User* FindUser(int32_t id) const;
  const Party* FindParty(int32_t number) const;
  const std::map<int32_t, User>& users() const;
  const std::map<int32_t, Party>& parties() const;
  size_t joinedCount() const;
  size_t listsOwed() const;
  bool IsJoined(int32_t id) const {
    const User* user = FindUser(id);
    return user != nullptr && (user->joined || user->joinWaiting);
  }
  // The kinds of command the lobby knows.
  static std::vector<std::string_view> CommandKinds();
  // Whether a newcomer would find a place: the lobby is not full, or a
  // silent user would give way.
  bool CanMakeRoom(TimePoint now) const;

 private:
  std::unique_ptr<Metrics> ownMetrics_;
  // The books and what the command handlers share (server/lobby_context.h):
  // a new command needs no line here.
  std::unique_ptr<LobbyContext> context_;
};

}  // namespace gorvane::server
