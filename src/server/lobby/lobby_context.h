// SPDX-License-Identifier: GPL-3.0-or-later
// The lobby as its command handlers see it: the books of users and parties
// and the ways to speak to them. Each handler file brings its own rows of
// the route table, so that a new command is a row and a function beside it.
// Only the lobby's own files include this.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <queue>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rules/card_catalogue.h"
#include "server/base/metrics.h"
#include "server/game/game.h"
#include "server/lobby/lobby.h"
#include "server/lobby/outbox.h"
#include "server/lobby/owed_results.h"
#include "server/store/accounts.h"

namespace gorvane::server {

struct LobbyContext;

// Handles one command of the user; for chat the argument is the text as
// cleaned.
using Handler = void (*)(LobbyContext& lobby, User& user, std::string_view argument);

// What a command costs against the sender's limits.
enum class Meter { kNone, kChat, kBroadcast, kLogin, kQuestion };

// What becomes of a command over its limit, short of the sender being cut
// off for it: dropped, unless it stands for a member of a party.
struct OverLimit {
  // Told to the sender alone when not empty: the usual refusal.
  std::string_view answer;
  // A member's command is handled all the same.
  bool standsInParty = false;
};

inline constexpr OverLimit kDropped{};
inline constexpr OverLimit kStandsInParty{{}, true};
constexpr OverLimit Answered(std::string_view answer) { return {answer}; }

// A command the lobby takes before the sender has joined.
inline constexpr bool kBeforeJoin = true;

// The longest argument of any valid form of a command: what is longer is
// refused before it is parsed (0: the framing's bound alone, for chat, which
// is cut rather than refused).
inline constexpr size_t kNameArgument = 256;      // names are cut to 64 bytes
inline constexpr size_t kNumberArgument = 16;     // one id or number
inline constexpr size_t kPlayArgument = 17 * 12;  // a target and the hand's 16 cards

struct Route {
  std::string_view kind;
  Handler handler;
  Meter meter = Meter::kNone;
  OverLimit overLimit = kDropped;
  bool beforeJoin = false;
  size_t maxBytes = 0;
};

// The rows of the lobby's commands (server/lobby/lobby_commands.cpp) and of the
// parties' and their games' (server/lobby/lobby_parties.cpp).
std::span<const Route> LobbyRoutes();
std::span<const Route> PartyRoutes();

// One action of this lobby's moderators, kept until a read of the store
// that began after it: the read may not hold it yet.
struct OwnAction {
  enum class Kind { kBan, kMute, kLift, kMotd } kind = Kind::kBan;
  int64_t at = 0;
  Ban ban;
  Mute mute;
  std::string text;  // what a lift lifts (a login or address), or the motd
};

// A moderator's "/" line (server/lobby/moderation.cpp): handled, never
// relayed.
void ModeratorCommand(LobbyContext& lobby, User& moderator, std::string_view line);

struct LobbyContext {
  LobbyContext(const CardCatalogue& cards, AccountStore& accounts, std::mt19937& rng, Outbox& outbox,
               LogSink log, LobbyRules rules, Metrics& metrics);
  ~LobbyContext();
  LobbyContext(const LobbyContext&) = delete;
  LobbyContext& operator=(const LobbyContext&) = delete;

  // What Lobby offers, in the same words.
  void Connect(int32_t user, const Arrival& arrival);
  void Handle(int32_t user, std::string_view message, TimePoint now);
  void Disconnect(int32_t user);
  void LoginAnswered(int32_t user, const std::string& login, const LoginVerdict& verdict);
  std::optional<TimePoint> Tick(TimePoint now);
  const User* FindUser(int32_t id) const;
  const Party* FindParty(int32_t number) const;

  // Logs the refusal (within the user's bound) and counts it.
  void Refuse(const User& user, std::string_view kind, std::string_view why);
  // Handles one command; false when it was refused before its handler.
  bool Dispatch(User& user, std::string_view message, TimePoint now);
  // Cuts the user's connection off, counted as the defence, its login
  // cooling off.
  void CutOff(User& user, Defence defence, const std::string& why);
  void CoolLogin(const User& user, TimePoint now);
  // G_JOIN: at once while greetings are within their bound, else in turn.
  void Join(User& user, std::string_view argument, TimePoint now);
  // Greets the user, making room or turning it away when the lobby is full.
  void JoinNow(User& user, std::string_view argument, TimePoint now);
  // The joined user silent longest, if silent long enough to give way and
  // not in a running game.
  const User* Silent(TimePoint now) const;
  // Greets the joins that waited, as the bound allows; when to look again.
  std::optional<TimePoint> GreetWaiting(TimePoint now);
  // A greeting or a departure told to everybody.
  void Relay(const std::string& text);
  // Whether the name's key belongs to a joined user other than the one named.
  bool NameInUse(const std::string& key, int32_t other) const;
  // Whether the command may go on under the user's limits; what is over
  // them is answered, logged or cut off here.
  bool Metered(User& user, const Route& route, size_t bytes, TimePoint now);
  void ToJoined(const std::string& text);
  void ToParty(const Party& party, const std::string& text);
  // Who is where changed: the lists are built again when next asked for.
  void ListsChanged();
  // Takes a user out of the lobby's books.
  void Forget(std::map<int32_t, User>::iterator user);
  void Deliver(const Mail& mail);
  // The list now, or once its gap is over.
  void SendList(User& user, ListSlot slot, TimePoint now);
  const Framed& UserList();
  const Framed& PartyList();
  // Takes the user out of its party, with the messages that go with it.
  void Leave(User& user);
  // The game of the user's party, or the refusal logged (and answered).
  Game* GameOf(User& user, std::string_view kind, const char* refusal);
  void AfterMove(Party& party, std::string_view kind, User& user, const Game::Refusal& refusal);
  // Deals the party's game and begins its first turn.
  void BeginGame(Party& party);
  // Begins the held game once no member owes its roster any more, or those
  // that do have had kRosterWait since they joined; whether it began.
  bool StartIfRostered(Party& party, TimePoint now);
  // A party chat line from the server itself, text in code page 932.
  void Announce(const Party& party, std::string_view text);
  // A game that is over is settled and gone.
  void EndIfOver(Party& party);
  // The members of a party whose game ended start a fresh idle span.
  void GameOver(const Party& party);
  void Settle(const Game& game);

  // Moderation (server/lobby/moderation.cpp).
  int64_t Now() const { return rules.wallClock(); }
  // The ban in force that keeps the user out: by login, or by address
  // unless the user is a logged-in moderator.
  const Ban* BanOf(const User& user) const;
  const Ban* LoginBan(std::string_view login) const;
  const Mute* MuteOf(const User& user) const;
  // Whether the user's chat line is dropped for a mute; the user is told
  // once per mute.
  bool Muted(User& user, std::string_view kind);
  // Sends the user away, with a line saying why unless it is empty: S_BYE
  // and the close, the others told of the goodbye.
  void SendAway(User& user, const std::string& line, const std::string& why);
  // Every connected user a ban in force matches is sent away.
  void SendAwayBanned();
  // The line telling a banned user until when and why.
  std::string BanLine(const Ban& ban) const;
  // S_CONNECT's text: the welcome, how logins come about, the motd.
  std::string Welcome(bool plainLoginsRefused) const;
  void ModerationRead(ModerationState state, int64_t began);

  const CardCatalogue& cards;
  AccountStore& accounts;
  std::mt19937& rng;
  Outbox& outbox;
  LogSink log;
  LobbyRules rules;
  Metrics& metrics;
  std::map<int32_t, User> users;
  size_t joinedCount = 0;
  // S_LIST and S_GLIST as last built, shared by every user who asks.
  Framed userList;
  Framed partyList;
  // Counts the changes of who is where; a user's lists are up to date when
  // they were sent in this version.
  uint64_t listsVersion = 1;
  // When the owed lists fall due, soonest first.
  struct OwedList {
    TimePoint due;
    int32_t user;
    ListSlot slot;
    bool operator>(const OwedList& other) const { return due > other.due; }
  };
  std::priority_queue<OwedList, std::vector<OwedList>, std::greater<>> owedLists;
  // When the command being handled arrived.
  TimePoint arrived{};
  std::map<int32_t, Party> parties;
  int32_t nextParty = 1;
  // Greetings and departures relayed lately, server-wide; joins past the
  // bound wait here, in order.
  RateLimit relays;
  std::deque<std::pair<int32_t, std::string>> waitingJoins;
  // Logins (by LoginKey) of connections cut off, until when they are
  // refused unchecked.
  std::map<std::string, TimePoint> coolingLogins;
  // Results of ended games, written to the accounts off the loop.
  OwedResults results;
  // Bans, mutes and the motd in force, as last read and as acted on here.
  ModerationState book;
  std::vector<OwnAction> ownActions;
};

}  // namespace gorvane::server
