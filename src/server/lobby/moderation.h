// SPDX-License-Identifier: GPL-3.0-or-later
// What the loop needs of the lobby's moderation: how often it reads the
// store's bans, mutes and message of the day, so that an action on one
// server holds on every server sharing the store within a few seconds.
#pragma once

#include <chrono>

namespace gorvane::server {

// A read starts this long after the last one began, never two at once.
inline constexpr auto kModerationReadEvery = std::chrono::seconds(1);

}  // namespace gorvane::server
