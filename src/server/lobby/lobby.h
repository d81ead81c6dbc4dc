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

#include "rules/card_catalogue.h"
#include "server/base/labels.h"
#include "server/base/limits.h"
#include "server/game/game.h"
#include "server/lobby/outbox.h"
#include "server/store/accounts.h"

namespace gorvane::server {

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
  // Every command of one connection, whatever its kind: far above what a
  // client sends, which answers what it is told (a busy lobby's greetings
  // bring it 40 list requests a second at most). What is over it is refused.
  RateRule commands{1000, 0};
  // An unknown login's first G_LOGIN creates the account (never over plain
  // text while TLS is offered).
  bool registrationOpen = false;
  // Bans by address count an IPv6 prefix of this many bits as one, as the
  // admission does.
  int ipv6Prefix = 64;
  // What bans, mutes and the audit are timed by.
  WallClock wallClock = SystemSeconds;
};

inline constexpr size_t kMaxPartySize = 6;
// How long a login whose connection was cut off is answered as throttled.
inline constexpr auto kLoginCoolOff = std::chrono::minutes(1);
// How long a leader's P_START waits for a member's window to have its
// roster: a client asks for it as its window opens, so a member that has
// not asked by then never will.
inline constexpr auto kRosterWait = std::chrono::seconds(5);
// The turn timer tells the party this long before it ends a turn.
inline constexpr auto kTurnWarning = std::chrono::seconds(30);
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
  // The account may moderate the lobby: its "/" lines are commands.
  bool moderator = false;
  // What bans and mutes by address match: the address as the loop counts
  // connections by it.
  std::string address;
  // When it connected, in wall seconds.
  int64_t connectedAt = 0;
  // The mute (by its madeAt) the user was last told of, so that a dropped
  // line is not answered each time.
  int64_t muteTold = -1;
  // Statistics of a user who has not logged in: this connection's only.
  Statistics guest;
  int32_t party = 0;
  // When the user last had a command accepted, or its game ended: for
  // giving way when the lobby is full.
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
  // Every command, and the refused ones: ten times the chat limit of
  // refusals cuts the connection off.
  WindowCount commands;
  RateLimit refused;
  mutable uint64_t refusals = 0;
  // Cut off: nothing more it sends is handled.
  bool cut = false;
  // Connected over plain text while the server offers TLS: its password
  // would cross the network readable, so G_LOGIN is refused.
  bool plainLoginsRefused = false;
  // Plain text while TLS is offered, whether or not logins are refused:
  // a password chosen here would cross the network readable.
  bool plainWhileTls = false;
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
  // Members that have not had an S_PLIST since they joined, and when they
  // joined: a game dealt before a window has its roster names players the
  // window cannot find.
  std::map<int32_t, TimePoint> rosterOwed;
  // The leader's P_START, waiting for those rosters.
  bool startHeld = false;
  // The turn last seen to begin, when it runs out, and whether the party
  // has been told it soon will.
  uint64_t turnSeen = 0;
  TimePoint turnDeadline{};
  bool turnWarned = false;
};

// How a connection came in, as its greeting tells it.
struct Arrival {
  // A plain connection to a server that offers TLS: the fingerprint of the
  // certificate's key, told in S_TLS right after S_CONNECT.
  std::string tlsOffer;
  // Logins wait for the encrypted connection.
  bool plainLoginsRefused = false;
  // What the loop counts the connection by (server/base/net.h AddressKey).
  std::string address;
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

  // A new connection, given its user id: greets it with S_CONNECT (and the
  // offer of TLS, when arrival makes one).
  void Connect(int32_t user, const Arrival& arrival = {});
  // One trimmed message from the user, arrived at now.
  void Handle(int32_t user, std::string_view message, TimePoint now);
  // The connection was lost without a goodbye.
  void Disconnect(int32_t user);
  // The loop cut the user's connection off: its login cools off.
  void CutOff(int32_t user, TimePoint now);
  // The answer to a login the outbox was asked to check.
  void LoginAnswered(int32_t user, const std::string& login, const LoginVerdict& verdict);
  // What the store held in force when a read of it began at began (wall
  // seconds): it replaces the book, but for this lobby's own actions since,
  // and connected users a ban matches are sent away.
  void ModerationRead(ModerationState state, int64_t began);
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
  // The books and what the command handlers share (server/lobby/lobby_context.h):
  // a new command needs no line here.
  std::unique_ptr<LobbyContext> context_;
};

}  // namespace gorvane::server
