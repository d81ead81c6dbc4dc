// SPDX-License-Identifier: GPL-3.0-or-later
// The headless player's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bot/headless_player.h"

namespace gorvane::bot {

struct BotCommandLine {
  enum class Action { kPlay, kHelp, kVersion };
  Action action = Action::kPlay;
  PlayerOptions player;
  bool log = false;  // the console lines go to standard output
  // Says goodbye after this many games; nothing: plays on until stopped.
  std::optional<int32_t> games;
  // The deck asked for with --cards; nothing: look for one (ChooseDeck).
  std::optional<std::string> cards;
};

inline constexpr const char* kUsage =
    "usage: gorvane-bot [--host ADDR] [--port N] [--name NAME] (--create | --join N | --join-any) "
    "[--start-after SECONDS] [--games N] [--login LOGIN] [--log] "
    "[--cards FILE] [--strength 1|2|3] [--think]";

// What --help prints after the usage line.
inline constexpr const char* kHelp =
    "A headless player of the Gorvane card game: it connects to a game server, makes or joins a party and "
    "plays.\n"
    "  --host ADDR    the server's IPv4 address (default 127.0.0.1)\n"
    "  --port N       the server's port (default 21012)\n"
    "  --name NAME    the display name (default: a hero kind and a number, other for each process)\n"
    "  --create       make a party and start a game once three players are in it\n"
    "  --start-after SECONDS\n"
    "                 with --create, start only once the party's members have not changed for\n"
    "                 this long, so that newcomers can look first (default 5; 0: at once)\n"
    "  --join N       join party N\n"
    "  --join-any     join whichever party is open\n"
    "  --games N      say goodbye after N games (default: play on until stopped)\n"
    "  --login LOGIN  log in to this account after joining, with the password read as one line from\n"
    "                 standard input, so that the games count in its statistics (default: a guest)\n"
    "  --log          print the console's lines on standard output\n"
    "  --cards FILE   the deck (default: longcardlist.txt here, else the installed one)\n"
    "  --strength N   how well it plays: 1 random legal plays, 2 a simple plan, 3 a plan that looks\n"
    "                 ahead at the others' positions and treasure (default 2)\n"
    "  --think        wait a moment (0.6 to 1.8 s) before each click, so that a person watching the\n"
    "                 game window can follow it (default: click at once)\n"
    "  --help, --version\n"
    "Exit codes: 0 played, 1 no connection, 2 bad arguments, no password or no usable deck.";

static_assert(kDefaultStrength == 2, "--help names the default of --strength");
static_assert(ThinkTime::kShortestMs == 600 && ThinkTime::kLongestMs == 1800, "--help names the pause");
static_assert(kDefaultStartAfter == std::chrono::seconds(5), "--help names the default of --start-after");

// The arguments after the program name (UTF-8); nothing, with the reason in
// error, when they do not make a command line. --help and --version win
// over everything else.
std::optional<BotCommandLine> ParseBotCommandLine(const std::vector<std::string>& arguments,
                                                  std::string& error);

// The password for --login from the line read on standard input (UTF-8, a
// trailing CR dropped), in code page 932; nothing, with the reason in
// error, when it is empty or code page 932 cannot hold it.
std::optional<std::string> PasswordFromLine(std::string line, std::string& error);

// The name of a player started without --name (UTF-8): a hero kind of the
// deck and a number, both from the process id, so that players started
// alike side by side differ.
std::string DefaultName(long processId);

// The deck the player reads: the one given, else longcardlist.txt in the
// working directory, else the installed one. One that cannot be read gives
// nothing, with the reason (UTF-8, one line) in error.
std::optional<std::string> ChooseDeck(const std::optional<std::string>& given, const std::string& installed,
                                      std::string& error);

// A player without its deck cannot tell a trap from a monster and stalls its
// party: why the deck read from path is not one to play with (UTF-8, one
// line), or nothing when it is.
std::optional<std::string> DeckProblem(const std::string& path, const CardCatalogue& deck);

}  // namespace gorvane::bot
