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
#include <queue>
#include <random>
#include <string>
#include <string_view>

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
};

// What one user may do to the others, and how long a turn may last.
struct LobbyRules {
  size_t maxUsers = 64;
  RateRule chat{10, 2000};    // G_CHAT and P_CHAT
  RateRule broadcasts{5, 0};  // P_CREATE, P_JOIN, P_BYE and G_RENAME
  RateRule logins{5, 0};      // G_LOGIN attempts of one connection
  Duration window = std::chrono::seconds(10);
  Duration turnTime = std::chrono::seconds(120);  // zero: turns are not timed
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
  std::optional<std::string> login;
  // Statistics of a user who has not logged in: this connection's only.
  Statistics guest;
  int32_t party = 0;
  RateLimit chat;
  RateLimit broadcasts;
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

class Lobby {
 public:
  Lobby(const CardCatalogue& cards, AccountStore& accounts, std::mt19937& rng, Outbox& outbox, LogSink log,
        LobbyRules rules = {});

  // A new connection, given its user id: greets it with S_CONNECT.
  void Connect(int32_t user);
  // One trimmed message from the user, arrived at now.
  void Handle(int32_t user, std::string_view message, TimePoint now);
  // The connection was lost without a goodbye.
  void Disconnect(int32_t user);
  // The answer to a login the outbox was asked to check.
  void LoginAnswered(int32_t user, const std::string& login, LoginOutcome outcome);
  // Ends the turns that have run out; when the next one runs out, if any
  // turn is timed.
  std::optional<TimePoint> Tick(TimePoint now);

  const User* FindUser(int32_t id) const;
  const Party* FindParty(int32_t number) const;
  const std::map<int32_t, User>& users() const { return users_; }
  const std::map<int32_t, Party>& parties() const { return parties_; }
  size_t joinedCount() const { return joined_; }
  size_t listsOwed() const { return owedLists_.size(); }
  bool IsJoined(int32_t id) const {
    const User* user = FindUser(id);
    return user != nullptr && user->joined;
  }

 private:
  using Handler = void (Lobby::*)(User&, std::string_view);
  // What a command costs against the sender's limits.
  enum class Meter { kNone, kChat, kBroadcast, kLogin };
  struct Route {
    std::string_view kind;
    Handler handler;
    Meter meter = Meter::kNone;
  };
  static const Route kRoutes[];

  void Refuse(const User& user, std::string_view kind, std::string_view why);
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

  void Join(User& user, std::string_view argument);
  void LogIn(User& user, std::string_view argument);
  void ListUsers(User& user, std::string_view argument);
  void ListParties(User& user, std::string_view argument);
  // The list now, or once its gap is over.
  void SendList(User& user, ListSlot slot, TimePoint now);
  const Framed& UserList();
  const Framed& PartyList();
  void Chat(User& user, std::string_view argument);
  void Info(User& user, std::string_view argument);
  void Rename(User& user, std::string_view argument);
  void Bye(User& user, std::string_view argument);
  void CreateParty(User& user, std::string_view argument);
  void JoinParty(User& user, std::string_view argument);
  void ListMembers(User& user, std::string_view argument);
  void PartyChat(User& user, std::string_view argument);
  void LeaveParty(User& user, std::string_view argument);
  void StartGame(User& user, std::string_view argument);
  void Draw(User& user, std::string_view argument);
  void Play(User& user, std::string_view argument);
  void Pile(User& user, std::string_view argument);
  void EndTurn(User& user, std::string_view argument);

  // Takes the user out of its party, with the messages that go with it.
  void Leave(User& user);
  // The game of the user's party, or the refusal logged (and answered).
  Game* GameOf(User& user, std::string_view kind, const char* refusal);
  void AfterMove(Party& party, std::string_view kind, User& user, const Game::Refusal& refusal);
  // A game that is over is settled and gone.
  void EndIfOver(Party& party);
  void Settle(const Game& game);

  const CardCatalogue& cards_;
  AccountStore& accounts_;
  std::mt19937& rng_;
  Outbox& outbox_;
  LogSink log_;
  LobbyRules rules_;
  std::map<int32_t, User> users_;
  size_t joined_ = 0;
  // S_LIST and S_GLIST as last built, shared by every user who asks.
  Framed userList_;
  Framed partyList_;
  // Counts the changes of who is where; a user's lists are up to date when
  // they were sent in this version.
  uint64_t listsVersion_ = 1;
  // When the owed lists fall due, soonest first.
  struct OwedList {
    TimePoint due;
    int32_t user;
    ListSlot slot;
    bool operator>(const OwedList& other) const { return due > other.due; }
  };
  std::priority_queue<OwedList, std::vector<OwedList>, std::greater<>> owedLists_;
  // When the command being handled arrived.
  TimePoint now_{};
  std::map<int32_t, Party> parties_;
  int32_t nextParty_ = 1;
};

}  // namespace gorvane::server
