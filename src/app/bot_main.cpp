// SPDX-License-Identifier: GPL-3.0-or-later
// gorvane-bot: a headless player on the client's own logic.
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "bot/bot_options.h"
#include "bot/headless_player.h"
#include "client/installed_deck.h"
#include "client/version.h"

namespace {

// Set by SIGTERM or SIGINT; the loop below looks at it between polls.
volatile sig_atomic_t stopRequested = 0;

void RequestStop(int) { stopRequested = 1; }

void OnStopSignals() {
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a waiting poll returns at once.
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// How long one wait for the server lasts at most: the longest a stop
// request waits to be seen.
constexpr int kPollMs = 200;

}  // namespace

int main(int argc, char** argv) {
  using namespace gorvane::bot;
  std::string error;
  const auto line = ParseBotCommandLine(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!line) {
    std::fprintf(stderr, "gorvane-bot: %s (see gorvane-bot --help)\n", error.c_str());
    return 2;
  }
  if (line->action == BotCommandLine::Action::kHelp) {
    std::printf("%s\n%s\n", kUsage, kHelp);
    return 0;
  }
  if (line->action == BotCommandLine::Action::kVersion) {
    std::printf("gorvane-bot %d.%d.%d.%d\n", gorvane::kVersion[0], gorvane::kVersion[1], gorvane::kVersion[2],
                gorvane::kVersion[3]);
    return 0;
  }
  PlayerOptions options = line->player;
  const auto deck = ChooseDeck(line->cards, gorvane::InstalledDeck(GORVANE_BIN_TO_DATA), error);
  if (!deck) {
    std::fprintf(stderr, "gorvane-bot: %s\n", error.c_str());
    return 2;
  }
  options.cardListPath = *deck;
  if (options.login != "guest") {
    // Never on the command line, where every user of the machine sees it.
    std::string typed;
    std::getline(std::cin, typed);
    const auto password = PasswordFromLine(typed, error);
    if (!password) {
      std::fprintf(stderr, "gorvane-bot: %s\n", error.c_str());
      return 2;
    }
    options.password = *password;
  }
  OnStopSignals();
  HeadlessPlayer::LineSink console;
  if (line->log) console = [](std::string_view text) { WriteUtf8Line(stdout, text); };
  HeadlessPlayer player(options, console, [](std::string_view text) {
    WriteUtf8Line(stderr, "gorvane-bot: " + std::string(text));
  });
  if (const auto problem = DeckProblem(*deck, player.ReadDeck())) {
    std::fprintf(stderr, "gorvane-bot: %s\n", problem->c_str());
    return 2;
  }
  if (!player.Start()) {
    std::fprintf(stderr, "gorvane-bot: cannot connect to %s\n", options.host.c_str());
    return 1;
  }
  bool connected = false;
  bool done = false;
  while (stopRequested == 0 && !done) {
    if (!player.Poll(kPollMs)) break;
    connected = connected || player.online();
    done = line->games && player.results() >= *line->games;
  }
  if ((stopRequested != 0 || done) && player.online()) player.Quit();
  return connected || stopRequested != 0 ? 0 : 1;
}
