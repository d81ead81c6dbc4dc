// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/base/metrics.h"

#include <prometheus/text_serializer.h>

namespace gorvane::server {
namespace {

using prometheus::BuildCounter;
using prometheus::BuildGauge;
using prometheus::BuildHistogram;

// Every kind the server sends.
constexpr std::string_view kServerKinds[] = {
    "S_ABNORMAL", "S_BYE",      "S_CHAT",      "S_CONNECT",   "S_CREATE",   "S_DICE",     "S_DREW",
    "S_ELOGIN",   "S_EXCEED",   "S_FDREW",     "S_FIRSTHAND", "S_FPILE",    "S_GLIST",    "S_GREETING",
    "S_INFO",     "S_LEADER",   "S_LIST",      "S_LOGIN",     "S_ODREW",    "S_OPEN",     "S_OPILE",
    "S_OPLAY",    "S_OREACHED", "S_OTREASURE", "S_OTURN",     "S_PBYE",     "S_PCANCEL",  "S_PCHAT",
    "S_PILED",    "S_PJOIN",    "S_PLAYED",    "S_PLIST",     "S_QUIT",     "S_QUITGAME", "S_REACHED",
    "S_READY",    "S_RENAME",   "S_RESULT",    "S_TLS",       "S_TREASURE", "S_TURNEND",  "S_UNPLAYED",
};

// In the order of Defence.
constexpr std::array<std::string_view, kDefenceCount> kDefenceLabels = {
    "join_timeout",  "unjoined_evicted",  "address_connections", "address_joins",   "banned",
    "server_full",   "idle_gave_way",     "join_queued",         "rate_limited",    "cut_off",
    "refused_flood", "unterminated",      "oversized_command",   "login_throttled", "login_lockout",
    "slow_reader",   "reading_paused",    "list_deferred",       "close_timeout",   "log_suppressed",
    "accept_paused", "http_address_full", "http_busy",           "http_silent",     "http_head_timeout",
};

// In the order of LoginOutcome.
constexpr std::array<std::string_view, 5> kLoginLabels = {"ok", "unknown_login", "wrong_password",
                                                          "throttled", "store_failed"};

// In the order of Transport.
constexpr std::array<std::string_view, 2> kTransportLabels = {"plain", "tls"};

// In the order of StoreCall.
constexpr std::array<std::string_view, 5> kCallLabels = {"login_lookup", "info_read", "result_write",
                                                         "moderation_read", "registration"};

// A turn of a quiet loop takes tens of microseconds; one that writes a
// chat line to a thousand users, milliseconds; a second is trouble.
const prometheus::Histogram::BucketBoundaries kTurnBuckets = {
    1e-5, 2.5e-5, 5e-5, 1e-4, 2.5e-4, 5e-4, 1e-3, 2.5e-3, 5e-3, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1};
// A local SQLite read takes tens of microseconds, a shared database over
// the network milliseconds, and a store that does not answer runs into the
// login's four seconds.
const prometheus::Histogram::BucketBoundaries kStoreBuckets = {
    5e-5, 1e-4, 2.5e-4, 5e-4, 1e-3, 2.5e-3, 5e-3, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};

template <typename Builder>
auto& Register(Builder builder, prometheus::Registry& registry, const std::string& name,
               const std::string& help) {
  return builder.Name(name).Help(help).Register(registry);
}

// A family of one series, without labels.
template <typename Builder>
auto& Single(Builder builder, prometheus::Registry& registry, const std::string& name,
             const std::string& help) {
  return Register(builder, registry, name, help).Add({});
}

}  // namespace

KindCounters::KindCounters(prometheus::Family<prometheus::Counter>& family,
                           std::span<const std::string_view> kinds)
    : other_(&family.Add({{"kind", "other"}})) {
  all_.push_back(other_);
  for (const std::string_view kind : kinds) {
    if (all_.size() > kSlots / 2 || kind.empty() || kind == "other") continue;
    size_t slot = SlotOf(kind);
    while (slots_[slot].counter != nullptr && slots_[slot].kind != kind) slot = (slot + 1) % kSlots;
    if (slots_[slot].counter != nullptr) continue;
    slots_[slot] = {std::string(kind), &family.Add({{"kind", std::string(kind)}})};
    all_.push_back(slots_[slot].counter);
  }
}

size_t KindCounters::SlotOf(std::string_view kind) {
  size_t hash = kind.size() * 7;
  if (kind.size() > 2)
    hash += static_cast<unsigned char>(kind[2]) * 3 + static_cast<unsigned char>(kind.back());
  return hash % kSlots;
}

prometheus::Counter& KindCounters::For(std::string_view kind) const {
  for (size_t slot = SlotOf(kind); slots_[slot].counter != nullptr; slot = (slot + 1) % kSlots) {
    if (slots_[slot].kind == kind) return *slots_[slot].counter;
  }
  return *other_;
}

uint64_t KindCounters::Total() const {
  uint64_t total = 0;
  for (const prometheus::Counter* counter : all_) total += static_cast<uint64_t>(counter->Value());
  return total;
}

Metrics::Metrics(std::span<const std::string_view> commandKinds)
    : registry_(std::make_unique<prometheus::Registry>()),
      connections_(
          Single(BuildGauge(), *registry_, "gorvane_connections", "Connections open, joined or not.")),
      unjoined_(Single(BuildGauge(), *registry_, "gorvane_connections_unjoined",
                       "Connections open that have not joined the lobby yet.")),
      users_(Single(BuildGauge(), *registry_, "gorvane_users", "Users joined to the lobby.")),
      parties_(Single(BuildGauge(), *registry_, "gorvane_parties", "Parties, playing or not.")),
      gamesRunning_(Single(BuildGauge(), *registry_, "gorvane_games_running", "Games being played.")),
      gamesFinished_(Single(BuildCounter(), *registry_, "gorvane_games_finished_total",
                            "Games played to their results; games abandoned are not counted.")),
      turnTimeouts_(Single(BuildCounter(), *registry_, "gorvane_turn_timeouts_total",
                           "Game turns the server ended because the player's time ran out.")),
      tlsFailures_(Single(BuildCounter(), *registry_, "gorvane_tls_handshake_failures_total",
                          "TLS handshakes that failed, and ClientHellos on connections without TLS.")),
      plainLoginsRefused_(Single(BuildCounter(), *registry_, "gorvane_plain_logins_refused_total",
                                 "Logins refused for coming over plain text while TLS is offered.")),
      bytesIn_(Single(BuildCounter(), *registry_, "gorvane_received_bytes_total",
                      "Bytes read from client connections.")),
      bytesOut_(Single(BuildCounter(), *registry_, "gorvane_sent_bytes_total",
                       "Bytes written to client connections.")),
      received_(Register(BuildCounter(), *registry_, "gorvane_messages_received_total",
                         "Commands received from clients, by kind; kinds the server does not know count as "
                         "other."),
                commandKinds),
      sent_(Register(BuildCounter(), *registry_, "gorvane_messages_sent_total",
                     "Messages queued for clients, by kind."),
            kServerKinds),
      loopTurns_(Register(BuildHistogram(), *registry_, "gorvane_loop_turn_seconds",
                          "Time the event loop spent handling one turn, waiting for events left out.")
                     .Add({}, kTurnBuckets)) {
  auto& defences = Register(BuildCounter(), *registry_, "gorvane_defences_total",
                            "Times each defence against a misbehaving or overloading client acted.");
  for (size_t i = 0; i < kDefenceCount; ++i) {
    defences_[i] = &defences.Add({{"defence", std::string(kDefenceLabels[i])}});
  }
  auto& logins = Register(BuildCounter(), *registry_, "gorvane_logins_total", "Login attempts, by outcome.");
  for (size_t i = 0; i < logins_.size(); ++i)
    logins_[i] = &logins.Add({{"outcome", std::string(kLoginLabels[i])}});
  auto& transports = Register(BuildCounter(), *registry_, "gorvane_connections_greeted_total",
                              "Connections greeted with S_CONNECT, by transport.");
  for (size_t i = 0; i < transports_.size(); ++i)
    transports_[i] = &transports.Add({{"transport", std::string(kTransportLabels[i])}});
  auto& moderation = Register(BuildCounter(), *registry_, "gorvane_moderation_actions_total",
                              "Moderators' commands that acted, by action.");
  for (size_t i = 0; i < moderation_.size(); ++i)
    moderation_[i] = &moderation.Add({{"action", std::string(kModerationActionNames[i])}});
  auto& calls = Register(BuildHistogram(), *registry_, "gorvane_database_call_seconds",
                         "Time the account store took per call, on the server's worker threads.");
  for (size_t i = 0; i < storeCalls_.size(); ++i) {
    storeCalls_[i] = &calls.Add({{"call", std::string(kCallLabels[i])}}, kStoreBuckets);
  }
}

void Metrics::LoginAnswered(LoginOutcome outcome) {
  logins_[static_cast<size_t>(outcome)]->Increment();
  if (outcome == LoginOutcome::kThrottled) Defended(Defence::kLoginThrottled);
}

void Metrics::LobbyClosed() {
  users_.Set(0);
  parties_.Set(0);
  gamesRunning_.Set(0);
}

ServerCounters Metrics::Counters() const {
  return {received_.Total(), sent_.Total(), static_cast<uint64_t>(bytesOut_.Value())};
}

std::string Metrics::Exposition() const {
  return prometheus::TextSerializer().Serialize(registry_->Collect());
}

}  // namespace gorvane::server
