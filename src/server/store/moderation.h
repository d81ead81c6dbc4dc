// SPDX-License-Identifier: GPL-3.0-or-later
// What moderators decide, as the account store keeps it: bans, mutes, the
// message of the day, and the audit of every action. Times are wall-clock
// Unix seconds, since servers sharing one database must agree on them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gorvane::server {

// Seconds since the Unix epoch; a test sets its own.
using WallClock = std::function<int64_t()>;
int64_t SystemSeconds();

// A ban keeps out a login, an address (an IPv6 address as its /64, as the
// admission counts it), or both, when made on a connected user by name.
// until 0: for good.
struct Ban {
  int64_t id = 0;  // the store's; 0 until stored
  std::string login;
  std::string address;
  int64_t madeAt = 0;
  int64_t until = 0;
  std::string moderator;  // the moderator's login
  std::string reason;     // code page 932
};

// A mute silences a login's lobby and party chat, or, for a guest, its
// address's, until the time runs out (never for good).
struct Mute {
  int64_t id = 0;
  std::string login;
  std::string address;
  int64_t madeAt = 0;
  int64_t until = 0;
  std::string moderator;
  std::string reason;
};

// What is in force now, as one server reads it from the store.
struct ModerationState {
  std::vector<Ban> bans;    // newest first
  std::vector<Mute> mutes;  // newest first
  std::string motd;         // empty: none
};

// One moderation action, as the audit keeps it.
struct AuditEntry {
  int64_t at = 0;
  std::string moderator;
  std::string action;  // kick, mute, ban, unban, announce, motd
  std::string target;
  std::string reason;
};

// Whether a ban or mute is in force at now.
inline bool InForce(int64_t until, int64_t now) { return until == 0 || until > now; }

// Addresses are kept as the admission counts them (server/base/net.h
// AddressKey): IPv4 as it is, IPv6 as its /64 by default.

// What became of a self-registration.
enum class Registration { kCreated, kTaken, kLimit, kFailed };

// New logins one address may register a day.
inline constexpr int kRegistrationsPerDay = 3;
// Passwords of new logins have at least this many bytes.
inline constexpr size_t kRegistrationMinPassword = 8;

}  // namespace gorvane::server
