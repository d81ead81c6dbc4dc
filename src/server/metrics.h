// SPDX-License-Identifier: GPL-3.0-or-later
// What the server counts for its host to watch, as Prometheus metrics: kept
// by the loop and the database workers as things happen, each a few atomic
// operations on a metric found once at start, and read as text from any
// thread.
#pragma once

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/accounts.h"
#include "server/limits.h"
#include "server/logins.h"

namespace gorvane::server {

struct ServerCounters {
  uint64_t messagesIn = 0;
  uint64_t messagesOut = 0;
  uint64_t bytesOut = 0;
};

// Each way the server keeps one user from spoiling it for the others, a
// value of the label "defence".
enum class Defence {
  kJoinTimeout,         // closed: did not join in time
  kUnjoinedEvicted,     // closed: too many connections had not joined, this the oldest
  kAddressConnections,  // turned away: as many connections from its address as allowed
  kAddressJoins,        // turned away: its address joined too often lately
  kBanned,              // turned away: its address is cooling off after a cut-off
  kServerFull,          // turned away: the lobby is full and nobody gives way
  kIdleGaveWay,         // a silent user gave way to a newcomer in a full lobby
  kJoinQueued,          // a join waits for the bound on greetings
  kRateLimited,         // a command over its sender's limit, dropped
  kCutOff,              // a connection cut off for sending at ten times a limit
  kUnterminated,        // a connection cut off for 64 KiB without a terminator
  kOversizedCommand,    // a command longer than any valid one, refused
  kLoginThrottled,      // a login refused unchecked
  kLoginLockout,        // an address's logins left unchecked after failures
  kSlowReader,          // a connection dropped: too much waiting for it
  kReadingPaused,       // a connection not read until it takes its answers
  kListDeferred,        // a list asked for again too soon, sent later
  kCloseTimeout,        // a connection dropped: did not close after goodbye
  kLogSuppressed,       // a log line about an address left out
  kAcceptPaused,        // no connection accepted for want of descriptors
  // At the HTTP side's door:
  kHttpAddressFull,  // a connection past its address's share, answered 503
  kHttpBusy,         // a request let in nowhere within its time, answered 503
  kHttpSilent,       // a connection closed having sent nothing
  kHttpHeadTimeout,  // a connection closed, its request's head not whole in time
};
inline constexpr size_t kDefenceCount = static_cast<size_t>(Defence::kHttpHeadTimeout) + 1;

// The account store calls the server makes, each a value of the label "call".
enum class StoreCall { kLoginLookup, kInfoRead, kResultWrite };

// Counters by message kind in an open-addressed table, the way the client's
// dispatcher finds its routes: a kind costs a comparison or two. Kinds not
// in the table share one counter, so that a client cannot add labels.
class KindCounters {
 public:
  KindCounters(prometheus::Family<prometheus::Counter>& family, std::span<const std::string_view> kinds);
  prometheus::Counter& For(std::string_view kind) const;
  uint64_t Total() const;

 private:
  static constexpr size_t kSlots = 128;
  struct Slot {
    std::string kind;
    prometheus::Counter* counter = nullptr;
  };
  static size_t SlotOf(std::string_view kind);

  std::array<Slot, kSlots> slots_{};
  prometheus::Counter* other_ = nullptr;
  std::vector<prometheus::Counter*> all_;
};

class Metrics {
 public:
  // The kinds of command the lobby knows, for the received messages' labels.
  explicit Metrics(std::span<const std::string_view> commandKinds);
  Metrics(const Metrics&) = delete;
  Metrics& operator=(const Metrics&) = delete;

  // The loop's side.
  // A command, trimmed: "KIND id argument".
  void Received(std::string_view command) { received_.For(command.substr(0, command.find(' '))).Increment(); }
  // A message queued for a connection: its kind is the capitals and
  // underscores it starts with.
  void Sent(std::string_view message) {
    size_t end = 0;
    while (end < message.size() && ((message[end] >= 'A' && message[end] <= 'Z') || message[end] == '_'))
      ++end;
    sent_.For(message.substr(0, end)).Increment();
  }
  void BytesIn(size_t bytes) { bytesIn_.Increment(static_cast<double>(bytes)); }
  void BytesOut(size_t bytes) { bytesOut_.Increment(static_cast<double>(bytes)); }
  void Defended(Defence defence) { defences_[static_cast<size_t>(defence)]->Increment(); }
  void LoginAnswered(LoginOutcome outcome);
  void Connections(size_t open, size_t unjoined) {
    connections_.Set(static_cast<double>(open));
    unjoined_.Set(static_cast<double>(unjoined));
  }
  void Users(size_t joined) { users_.Set(static_cast<double>(joined)); }
  void Parties(size_t count) { parties_.Set(static_cast<double>(count)); }
  void GameStarted() { gamesRunning_.Increment(); }
  // Finished: played to its results, not abandoned.
  void GameEnded(bool finished) {
    gamesRunning_.Decrement();
    if (finished) gamesFinished_.Increment();
  }
  void TurnTimedOut() { turnTimeouts_.Increment(); }
  // The lobby is gone, and with it its users, parties and games.
  void LobbyClosed();
  // Time spent on one turn of the event loop, waiting left out.
  void LoopTurn(Duration took) { loopTurns_.Observe(std::chrono::duration<double>(took).count()); }

  // Any thread.
  void StoreCallTook(StoreCall call, Duration took) {
    storeCalls_[static_cast<size_t>(call)]->Observe(std::chrono::duration<double>(took).count());
  }
  ServerCounters Counters() const;
  // Prometheus's text exposition format.
  std::string Exposition() const;

 private:
  std::unique_ptr<prometheus::Registry> registry_;
  prometheus::Gauge& connections_;
  prometheus::Gauge& unjoined_;
  prometheus::Gauge& users_;
  prometheus::Gauge& parties_;
  prometheus::Gauge& gamesRunning_;
  prometheus::Counter& gamesFinished_;
  prometheus::Counter& turnTimeouts_;
  prometheus::Counter& bytesIn_;
  prometheus::Counter& bytesOut_;
  KindCounters received_;
  KindCounters sent_;
  std::array<prometheus::Counter*, kDefenceCount> defences_{};
  std::array<prometheus::Counter*, 5> logins_{};
  prometheus::Histogram& loopTurns_;
  std::array<prometheus::Histogram*, 3> storeCalls_{};
};

// The account store as the server's workers call it, each call timed.
class TimedStore final : public AccountStore {
 public:
  TimedStore(AccountStore& store, Metrics& metrics) : store_(store), metrics_(metrics) {}

  std::optional<Credentials> Lookup(std::string_view login, bool& failed, std::string& error) override;
  std::optional<Statistics> Read(std::string_view login) override;
  bool Apply(const OwedResult& result, std::string& error) override;
  std::optional<std::vector<Account>> All(std::string& error) override { return store_.All(error); }
  std::optional<size_t> Import(const std::vector<Account>& accounts, std::string& error) override {
    return store_.Import(accounts, error);
  }
  std::optional<std::vector<Ranked>> Leaders(RankBy by, size_t count, std::string& error) override {
    return store_.Leaders(by, count, error);
  }
  bool Ping(std::string& error) override { return store_.Ping(error); }
  void RetryNow() override { store_.RetryNow(); }
  bool Close() override { return store_.Close(); }

 protected:
  bool StoreCredentials(std::string_view login, const Credentials& credentials, std::string& error) override {
    return store_.StoreCredentials(login, credentials, error);
  }

 private:
  AccountStore& store_;
  Metrics& metrics_;
};

}  // namespace gorvane::server
