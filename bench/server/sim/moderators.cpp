// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/moderators.h"

#include <algorithm>
#include <thread>

namespace gorvane::bench {

std::string GuestName(size_t i) { return "g" + std::to_string(i); }

Moderators::Moderators(ModeratorsSettings settings)
    : settings_(std::move(settings)), loggedIn_(settings_.logins.size()), guests_(settings_.guests) {
  for (size_t i = 0; i < settings_.logins.size(); ++i) {
    auto& client = moderators_.emplace_back(std::make_unique<testing::RawClient>());
    client->Connect(settings_.server, settings_.port, SourceAddress(settings_.group, i));
  }
  for (size_t i = 0; i < guests_.size(); ++i) Open(guests_[i]);
}

Moderators::~Moderators() { End(); }

void Moderators::Open(Guest& guest) {
  // A fresh address each time: a guest kicked again and again is never held
  // back by its address's join limit.
  guest.client = std::make_unique<testing::RawClient>();
  guest.client->Connect(settings_.server, settings_.port,
                        SourceAddress(settings_.group + 1, nextGuestAddress_++));
}

void Moderators::Step() {
  const auto now = Clock::now();
  bool all = true;
  for (size_t i = 0; i < moderators_.size(); ++i) {
    testing::RawClient& client = *moderators_[i];
    if (client.closed) continue;
    if (!client.Poll()) ++lost_;
    for (const std::string& message : client.inbox) {
      const std::string_view kind = KindOf(message);
      if (kind == "S_CONNECT") client.Command("G_JOIN", "mod" + std::to_string(i));
      if (kind == "S_GREETING" && FieldInt(message, 1) == client.id)
        client.Command("G_LOGIN", settings_.logins[i] + " " + settings_.password);
      if (kind == "S_LOGIN") loggedIn_[i] = true;
      if (message.starts_with("S_CHAT SYS> ")) ++answers_;
    }
    client.inbox.clear();
    all = all && loggedIn_[i];
  }
  for (size_t i = 0; i < guests_.size(); ++i) {
    Guest& guest = guests_[i];
    if (guest.client->closed) {
      if (guest.backAt == Clock::time_point{}) guest.backAt = now + std::chrono::milliseconds(100);
      if (now < guest.backAt) continue;
      guest.backAt = {};
      Open(guest);
      ++returns_;
      continue;
    }
    guest.client->Poll();
    for (const std::string& message : guest.client->inbox) {
      if (KindOf(message) == "S_CONNECT") guest.client->Command("G_JOIN", GuestName(i));
    }
    guest.client->inbox.clear();
  }
  ready_ = all;
  if (all && typing_ && now >= due_ && !moderators_.empty()) {
    due_ = now + settings_.every;
    testing::RawClient& client = *moderators_[next_];
    next_ = (next_ + 1) % moderators_.size();
    if (!client.closed) {
      client.Command("G_CHAT", settings_.script(line_++));
      ++typed_;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

}  // namespace gorvane::bench
