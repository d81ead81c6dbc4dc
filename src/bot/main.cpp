// gorvane-bot: a headless player on the client's own logic.
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bot/bot_options.h"
#include "bot/headless_player.h"

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
    std::fprintf(stderr, "gorvane-bot: %s\n%s\n", error.c_str(), kUsage);
    return 2;
  }
  OnStopSignals();
  HeadlessPlayer::LineSink console;
  if (line->log) console = [](std::string_view text) { WriteUtf8Line(stdout, text); };
  HeadlessPlayer player(line->player, console, [](std::string_view text) {
    WriteUtf8Line(stderr, "gorvane-bot: " + std::string(text));
  });
  if (!player.Start()) {
    std::fprintf(stderr, "gorvane-bot: cannot connect to %s\n", line->player.host.c_str());
    return 1;
  }
  bool connected = false;
  while (stopRequested == 0) {
    if (!player.Poll(kPollMs)) break;
    connected = connected || player.online();
  }
  if (stopRequested != 0 && player.online()) player.Quit();
  return connected || stopRequested != 0 ? 0 : 1;
}
