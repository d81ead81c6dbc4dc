// SPDX-License-Identifier: GPL-3.0-or-later
// Scripted clients on raw loopback sockets, and a server run in-process on
// the test's own thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rules/card_catalogue.h"
#include "server/loop/server.h"
#include "spine/framing.h"

namespace gorvane::testing {

// The card list shipped with the program.
std::string CardListPath();
// That card list loaded; throws when it cannot be.
void LoadCards(CardCatalogue& cards);

class RawClient {
 public:
  RawClient() = default;
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // From the given source address when there is one (127.0.0.x: another
  // machine, as the server counts them); a receive buffer of that many
  // bytes when given, so that a client that does not read fills up soon.
  bool Connect(const std::string& address, uint16_t port, const std::string& source = {},
               int receiveBuffer = 0);
  // Bytes as they are, no terminator added.
  void SendRaw(std::string_view bytes);
  // As many of the bytes as the socket takes without waiting; how many.
  size_t SendSome(std::string_view bytes);
  // "KIND id argument" and the terminator, with this client's id.
  void Command(std::string_view kind, std::string_view argument = "*");
  // Reads what has arrived; false once the server has closed the connection.
  bool Poll();
  void Close();

  int32_t id = 0;  // from S_CONNECT
  std::deque<std::string> inbox;
  bool closed = false;

 private:
  int fd_ = -1;
  MessageFramer framer_;
};

// Limits far above what a test that is not about them sends.
void Generous(server::ServerOptions& options);

// A server on its own 127.0.0.x address and a free port, pumped by the test.
class Harness {
 public:
  explicit Harness(std::string address, std::string database = ":memory:",
                   const std::function<void(server::ServerOptions&)>& adjust = {});
  ~Harness();

  server::Server& server() { return *server_; }
  const server::Lobby& lobby() { return server_->lobby(); }
  std::vector<std::string>& log() { return log_; }

  // A client that has connected and, with a name, joined; its inbox empty.
  // Each comes from a source address of its own unless one is given, as
  // users on different machines do.
  std::unique_ptr<RawClient> Connect(std::string_view name = {}, const std::string& source = {});
  // Runs the server and reads the clients until nothing moves any more.
  void Settle(const std::vector<RawClient*>& clients);
  // Settles and takes what each client received.
  std::vector<std::vector<std::string>> Received(const std::vector<RawClient*>& clients);
  // Log lines written since the last call.
  std::vector<std::string> NewLog();
  // Sends all the bytes from the client, running the server and reading the
  // others in between, until they are taken or the server has cut it off.
  void Push(RawClient& client, std::string_view bytes, const std::vector<RawClient*>& others);
  // Runs until done() holds or the time is up; whether it held.
  bool RunUntil(const std::vector<RawClient*>& clients, const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(5));

 private:
  std::string address_;
  size_t sources_ = 0;
  std::vector<std::string> log_;
  size_t logSeen_ = 0;
  std::unique_ptr<server::Server> server_;
};

using Heard = std::map<int32_t, std::vector<std::string>>;
// Runs until done() holds or the limit is up; whether it held.
using Pump = std::function<bool(const std::function<bool()>& done, std::chrono::milliseconds limit)>;

// Plays the game the clients' party has just started with one scripted
// player each, until every one has the results; what each heard, by id.
std::optional<Heard> PlayOut(const std::vector<RawClient*>& clients, const CardCatalogue& cards,
                             const Pump& pump);
std::optional<Heard> PlayOut(Harness& harness, const std::vector<RawClient*>& clients,
                             const CardCatalogue& cards);

// A pump for clients of a server that runs elsewhere: reads them until done.
Pump ClientsOnly(const std::vector<RawClient*>& clients);

// Takes every message out of an inbox.
std::vector<std::string> Drain(RawClient& client);

}  // namespace gorvane::testing
