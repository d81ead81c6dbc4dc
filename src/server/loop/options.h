// SPDX-License-Identifier: GPL-3.0-or-later
// The server's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "server/loop/server.h"

namespace gorvane::server {

struct CommandLine {
  ServerOptions server;
  bool seedGiven = false;
  bool cardsGiven = false;  // without --cards the main looks for a deck
  bool help = false;
  bool version = false;
  std::optional<std::string> addUser;       // the login to store, then exit
  std::optional<std::string> importFrom;    // an SQLite file to copy into --db, then exit
  std::optional<std::string> replayFrom;    // a log whose unstored results to add to --db, then exit
  bool asModerator = false;                 // with --add-user: the account moderates
  std::optional<std::string> moderatorOn;   // mark an existing account a moderator's, then exit
  std::optional<std::string> moderatorOff;  // and the other way
  std::optional<size_t> audit;              // print the last N moderation actions, then exit
  std::optional<std::string> unban;         // lift the bans on a login or address, then exit
};

// What --help prints.
extern const char* const kUsage;

// The arguments after the program name; nothing, with what is wrong in one
// line in error, when they do not make a command line.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& arguments, std::string& error);

}  // namespace gorvane::server
