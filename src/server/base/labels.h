// SPDX-License-Identifier: GPL-3.0-or-later
// The values the server's metrics are labelled by, named where they happen:
// the rooms that count a defence, a store call or a login's outcome need
// this, not the metrics behind it.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace gorvane::server {

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
  kRefusedFlood,        // a connection cut off for refused commands past its budget
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
enum class StoreCall { kLoginLookup, kInfoRead, kResultWrite, kModerationRead, kRegistration };

// How a connection's bytes travel, a value of the label "transport".
enum class Transport { kPlain, kTls };

// What became of a login's check.
enum class LoginOutcome { kOk, kUnknown, kWrongPassword, kThrottled, kFailed };

// What a moderator did, a value of the label "action".
enum class ModerationAction { kKick, kMute, kBan, kUnban, kAnnounce, kMotd };
inline constexpr size_t kModerationActionCount = static_cast<size_t>(ModerationAction::kMotd) + 1;
// Each action's name, as /metrics labels it and the audit keeps it.
inline constexpr std::array<std::string_view, kModerationActionCount> kModerationActionNames = {
    "kick", "mute", "ban", "unban", "announce", "motd"};

// A login's outcome and what the account says of its owner.
struct LoginVerdict {
  LoginOutcome outcome = LoginOutcome::kFailed;
  bool moderator = false;   // the account is a moderator's
  bool registered = false;  // the account was made by this login
};

}  // namespace gorvane::server
