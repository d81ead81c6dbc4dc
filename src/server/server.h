// The game server's socket side: one thread, one epoll loop, non-blocking
// sockets, each connection cut into messages and handed to the lobby.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/framing.h"
#include "game/card_catalogue.h"
#include "server/accounts.h"
#include "server/lobby.h"

namespace gorvane::server {

struct ServerOptions {
  std::string listenAddress = "127.0.0.1";
  uint16_t port = 21012;  // 0: any free port, see Server::port()
  std::string databasePath = "gorvane-server.db";
  std::string cardsPath = std::string(kCardListFile);
  size_t maxUsers = 64;
  uint32_t seed = 0;
  // Where the log lines go; standard error when empty.
  LogSink log;
};

// Bytes a connection may send without a terminator before it is closed.
inline constexpr size_t kMaxUnterminated = size_t{64} * 1024;
// Bytes waiting to go to one connection before it counts as gone: a peer
// that stops reading must not make the server hold everything for it.
inline constexpr size_t kMaxQueued = size_t{8} * 1024 * 1024;

struct ServerCounters {
  uint64_t messagesIn = 0;
  uint64_t messagesOut = 0;
};

class Server : private Outbox {
 public:
  explicit Server(ServerOptions options);
  ~Server() override;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Loads the cards, opens the accounts and starts listening; false with the
  // reason in error when any of it fails.
  bool Start(std::string& error);
  // Waits up to timeoutMs (-1: until something happens) and handles what
  // arrived; the number of events handled.
  int RunOnce(int timeoutMs);
  // Runs until Stop.
  void Run();
  // From any thread: makes Run return.
  void Stop();

  uint16_t port() const { return port_; }
  const Lobby& lobby() const { return *lobby_; }
  const CardCatalogue& cards() const { return cards_; }
  // Safe to read from another thread while the loop runs.
  ServerCounters counters() const {
    return {messagesIn_.load(std::memory_order_relaxed), messagesOut_.load(std::memory_order_relaxed)};
  }
  size_t connectionCount() const { return connections_.size(); }

 private:
  struct Connection;

  void Send(int32_t user, std::string_view message) override;
  void Close(int32_t user) override;

  void Log(std::string_view line) const;
  void Accept();
  void Admit(int fd, const std::string& peer);
  void Read(Connection& connection);
  void Flush(Connection& connection);
  // Writes out to a few of the connections that wait for it, oldest first;
  // how many.
  size_t FlushSome();
  void WatchWrites(Connection& connection, bool on);
  // The connection is finished with; the lobby hears of a loss.
  void Drop(Connection& connection, const std::string& why);
  void Reap();
  void StartClosing(Connection& connection);
  // Connections told goodbye that have not closed in time are dropped.
  void SweepClosing();
  int NextTimeout(int timeoutMs) const;

  ServerOptions options_;
  CardCatalogue cards_;
  std::unique_ptr<AccountStore> accounts_;
  std::mt19937 rng_;
  std::unique_ptr<Lobby> lobby_;
  int epoll_ = -1;
  int listener_ = -1;
  int wake_ = -1;
  uint16_t port_ = 0;
  bool acceptPaused_ = false;
  std::atomic<bool> stopping_{false};
  uint64_t nextKey_ = 1;
  int32_t nextUser_ = 1;
  std::unordered_map<uint64_t, std::unique_ptr<Connection>> connections_;
  std::unordered_map<int32_t, uint64_t> userKeys_;
  std::deque<uint64_t> dirty_;
  std::vector<uint64_t> dead_;
  std::vector<uint64_t> closing_;
  std::atomic<uint64_t> messagesIn_{0};
  std::atomic<uint64_t> messagesOut_{0};
};

}  // namespace gorvane::server
