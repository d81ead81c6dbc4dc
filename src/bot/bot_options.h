// The headless player's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bot/headless_player.h"

namespace gorvane::bot {

struct BotCommandLine {
  PlayerOptions player;
  bool log = false;  // the console lines go to standard output
};

inline constexpr const char* kUsage =
    "usage: gorvane-bot [--host ADDR] [--port N] [--name NAME] (--create | --join N | --join-any) [--log]";

// The arguments after the program name (UTF-8); nothing, with the reason in
// error, when they do not make a command line.
std::optional<BotCommandLine> ParseBotCommandLine(const std::vector<std::string>& arguments,
                                                  std::string& error);

}  // namespace gorvane::bot
