// SPDX-License-Identifier: GPL-3.0-or-later
// Whether a command that the server answers is still waiting for its
// answer: a player makes its next click only once the last one is answered.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gorvane::bot {

class AnswerWait {
 public:
  // A command went out ("KIND id argument", or just its kind).
  void Sent(std::string_view command);
  // A message came in, trimmed.
  void Received(std::string_view message, int32_t myId);
  // Given up on: a server that says nothing must not stop the player.
  void Forget() { awaited_.clear(); }

  bool waiting() const { return !awaited_.empty(); }
  // Waiting for longer than patience.
  bool Overdue(std::chrono::steady_clock::time_point now, std::chrono::milliseconds patience) const {
    return waiting() && now - since_ > patience;
  }
  // The command still waiting, for a report.
  const std::string& command() const { return command_; }

 private:
  struct Answer {
    std::string_view kind;
    bool ownIdFirst;  // only with the own user id as field 1
  };
  std::vector<Answer> awaited_;
  std::string command_;
  std::chrono::steady_clock::time_point since_;
};

}  // namespace gorvane::bot
