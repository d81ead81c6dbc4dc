// The server's side of the lobby: who is connected and under what name,
// logins and statistics, the parties and their games. Commands come in one
// message at a time; everything said goes out through the outbox, so the
// lobby runs the same over sockets and in a test.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "game/card_catalogue.h"
#include "server/accounts.h"
#include "server/game.h"

namespace gorvane::server {

using LogSink = std::function<void(std::string_view)>;

class Outbox {
 public:
  virtual ~Outbox() = default;
  // One message, without its terminator.
  virtual void Send(int32_t user, std::string_view message) = 0;
  // Ends the user's connection once what was sent to it has gone out.
  virtual void Close(int32_t user) = 0;
};

inline constexpr size_t kMaxPartySize = 6;

struct User {
  int32_t id = 0;
  bool joined = false;
  std::string name;
  std::optional<std::string> login;
  // Statistics of a user who has not logged in: this connection's only.
  Statistics guest;
  int32_t party = 0;
};

struct Party {
  int32_t number = 0;
  int32_t leader = 0;
  std::vector<int32_t> members;  // ascending ids
  std::unique_ptr<Game> game;    // while playing
};

class Lobby {
 public:
  Lobby(const CardCatalogue& cards, AccountStore& accounts, std::mt19937& rng, Outbox& outbox, LogSink log);

  // A new connection, given its user id: greets it with S_CONNECT.
  void Connect(int32_t user);
  // One trimmed message from the user.
  void Handle(int32_t user, std::string_view message);
  // The connection was lost without a goodbye.
  void Disconnect(int32_t user);

  const User* FindUser(int32_t id) const;
  const Party* FindParty(int32_t number) const;
  const std::map<int32_t, User>& users() const { return users_; }
  const std::map<int32_t, Party>& parties() const { return parties_; }

 private:
  using Handler = void (Lobby::*)(User&, std::string_view);
  struct Route {
    std::string_view kind;
    Handler handler;
  };
  static const Route kRoutes[];

  void Refuse(const User& user, std::string_view kind, std::string_view why);
  void ToJoined(const std::string& text);
  void ToParty(const Party& party, const std::string& text);
  void Deliver(const Mail& mail);

  void Join(User& user, std::string_view argument);
  void LogIn(User& user, std::string_view argument);
  void ListUsers(User& user, std::string_view argument);
  void ListParties(User& user, std::string_view argument);
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
  void Settle(const Game& game);

  const CardCatalogue& cards_;
  AccountStore& accounts_;
  std::mt19937& rng_;
  Outbox& outbox_;
  LogSink log_;
  std::map<int32_t, User> users_;
  std::map<int32_t, Party> parties_;
  int32_t nextParty_ = 1;
};

}  // namespace gorvane::server
