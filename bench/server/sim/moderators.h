// SPDX-License-Identifier: GPL-3.0-or-later
// Moderators at work on one server for the server benchmark: logged in as
// moderator accounts, they type the lines of a script in turn, one line
// every so often across them all, each within its own chat limit; and the
// guests they kick and mute, which come back from an address never used
// before as soon as they are sent away.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/connection.h"
#include "support/server/loopback.h"

namespace gorvane::bench {

struct ModeratorsSettings {
  std::string server;
  uint16_t port = 0;
  std::vector<std::string> logins;  // moderator accounts, one connection each
  std::string password;
  // Moderators dial from SourceAddress(group, i), each guest's return from
  // the next address of group + 1.
  int group = 0;
  size_t guests = 0;  // joined as GuestName(i)
  std::chrono::milliseconds every{100};
  // The text of the n-th line typed, "/" and all; on the worker's thread.
  std::function<std::string(uint64_t n)> script;
};

std::string GuestName(size_t i);

class Moderators : public Worker {
 public:
  explicit Moderators(ModeratorsSettings settings);
  ~Moderators() override;
  // Every moderator logged in, every guest joined.
  bool ready() const { return ready_; }
  // From any thread: the script typed from now on, or not.
  void Type(bool on) { typing_ = on; }
  uint64_t typed() const { return typed_; }
  // The server's SYS lines to the moderators.
  uint64_t answers() const { return answers_; }
  // Guests sent away that came back.
  uint64_t returns() const { return returns_; }
  // Moderators whose connection ended.
  size_t lost() const { return lost_; }

 private:
  struct Guest {
    std::unique_ptr<testing::RawClient> client;
    Clock::time_point backAt{};
  };
  void Step() override;
  void Open(Guest& guest);

  ModeratorsSettings settings_;
  std::vector<std::unique_ptr<testing::RawClient>> moderators_;
  std::vector<bool> loggedIn_;
  std::vector<Guest> guests_;
  size_t nextGuestAddress_ = 0;
  size_t next_ = 0;
  uint64_t line_ = 0;
  Clock::time_point due_{};
  std::atomic<bool> ready_{false};
  std::atomic<bool> typing_{false};
  std::atomic<uint64_t> typed_{0};
  std::atomic<uint64_t> answers_{0};
  std::atomic<uint64_t> returns_{0};
  std::atomic<size_t> lost_{0};
};

}  // namespace gorvane::bench
