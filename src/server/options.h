// The server's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "server/server.h"

namespace gorvane::server {

struct CommandLine {
  ServerOptions server;
  bool seedGiven = false;
  std::optional<std::string> addUser;  // the login to store, then exit
};

inline constexpr const char* kUsage =
    "usage: gorvane-server [--listen ADDR] [--port N] [--db FILE] [--cards FILE] [--max-users N] [--seed N] "
    "[--add-user LOGIN]";

// The arguments after the program name; nothing, with the reason in error,
// when they do not make a command line.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& arguments, std::string& error);

}  // namespace gorvane::server
