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
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/base/labels.h"
#include "server/base/limits.h"

namespace gorvane::server {

struct ServerCounters {
  uint64_t messagesIn = 0;
  uint64_t messagesOut = 0;
  uint64_t bytesOut = 0;
};

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
  // A connection greeted, over plain text or once its TLS handshake is done.
  void Greeted(Transport transport) { transports_[static_cast<size_t>(transport)]->Increment(); }
  void TlsHandshakeFailed() { tlsFailures_.Increment(); }
  void PlainLoginRefused() { plainLoginsRefused_.Increment(); }
  void Users(size_t joined) { users_.Set(static_cast<double>(joined)); }
  void Parties(size_t count) { parties_.Set(static_cast<double>(count)); }
  void GameStarted() { gamesRunning_.Increment(); }
  // Finished: played to its results, not abandoned.
  void GameEnded(bool finished) {
    gamesRunning_.Decrement();
    if (finished) gamesFinished_.Increment();
  }
  void TurnTimedOut() { turnTimeouts_.Increment(); }
  void Moderated(ModerationAction action) { moderation_[static_cast<size_t>(action)]->Increment(); }
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
  prometheus::Counter& tlsFailures_;
  prometheus::Counter& plainLoginsRefused_;
  prometheus::Counter& bytesIn_;
  prometheus::Counter& bytesOut_;
  KindCounters received_;
  KindCounters sent_;
  std::array<prometheus::Counter*, kDefenceCount> defences_{};
  std::array<prometheus::Counter*, 5> logins_{};
  std::array<prometheus::Counter*, 2> transports_{};
  std::array<prometheus::Counter*, kModerationActionCount> moderation_{};
  prometheus::Histogram& loopTurns_;
  std::array<prometheus::Histogram*, 5> storeCalls_{};
};

}  // namespace gorvane::server
