// SPDX-License-Identifier: GPL-3.0-or-later
// gorvane-server: the reference game server.
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "client/installed_deck.h"
#include "client/version.h"
#include "server/base/net.h"
#include "server/loop/options.h"
#include "server/loop/server.h"
#include "server/store/accounts.h"
#include "server/store/result_lines.h"
#include "server/store/secrets.h"
#include "spine/sjis.h"

namespace {

using gorvane::server::AccountStore;
using gorvane::server::CommandLine;
using gorvane::server::MaskedWhere;

// One line of standard input, without its line break; the terminal does not
// echo it.
std::optional<std::string> ReadPassword() {
  const bool terminal = isatty(STDIN_FILENO) == 1;
  termios saved{};
  if (terminal) {
    std::fputs("password: ", stderr);
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string password;
  const bool read = static_cast<bool>(std::getline(std::cin, password)) || !password.empty();
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
  }
  if (!read) return std::nullopt;
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return password;
}

// SQLite makes the database file but not its folder, and says only "unable
// to open database file" when that is missing: the reason in words, or
// nothing when the folder is there.
std::optional<std::string> MissingDatabaseFolder(const std::string& path) {
  if (gorvane::server::IsPostgresUri(path)) return std::nullopt;
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  std::error_code ignored;
  if (folder.empty() || std::filesystem::is_directory(folder, ignored)) return std::nullopt;
  return "no folder " + folder.string() + " for the database " + path +
         "; make it first or give another --db";
}

// Without --cards: the deck in the working directory, else the installed
// one; nothing, with the reason, when there is neither.
std::optional<std::string> FindDeck(std::string& error) {
  const std::string here(gorvane::kCardListFile);
  const std::string installed = gorvane::InstalledDeck(GORVANE_BIN_TO_DATA);
  std::error_code ignored;
  if (std::filesystem::exists(here, ignored)) return here;
  if (!installed.empty() && std::filesystem::exists(installed, ignored)) return installed;
  error = "no deck: no " + here + " in the working directory" +
          (installed.empty() ? std::string() : " nor at " + installed) + "; give one with --cards FILE";
  return std::nullopt;
}

// Moving a host over: every account of an SQLite file into --db, once; a
// second run finds them there and changes nothing.
int Import(const CommandLine& line) {
  const std::string& from = *line.importFrom;
  std::error_code ignored;
  if (!std::filesystem::is_regular_file(from, ignored)) {
    std::fprintf(stderr, "gorvane-server: no SQLite file %s to import\n", from.c_str());
    return 1;
  }
  if (const auto missing = MissingDatabaseFolder(line.server.databasePath)) {
    std::fprintf(stderr, "gorvane-server: %s\n", missing->c_str());
    return 1;
  }
  std::string error;
  const auto source = AccountStore::Open(from, error);
  const auto accounts = source ? source->All(error) : std::nullopt;
  const auto target = accounts ? AccountStore::Open(line.server.databasePath, error) : nullptr;
  const auto copied = target ? target->Import(*accounts, error) : std::nullopt;
  if (!copied) {
    std::fprintf(stderr, "gorvane-server: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr,
               "gorvane-server: imported %zu of the %zu accounts in %s (the rest were there already)\n",
               *copied, accounts->size(), from.c_str());
  return 0;
}

// The results a stop logged as not stored, added to the accounts: each by
// its id, so a line replayed twice, or one whose write the database took
// after all, counts once.
int ReplayResults(const CommandLine& line) {
  const std::string& from = *line.replayFrom;
  std::ifstream file;
  if (from != "-") {
    file.open(from);
    if (!file) {
      std::fprintf(stderr, "gorvane-server: cannot read %s\n", from.c_str());
      return 1;
    }
  }
  std::istream& in = from == "-" ? std::cin : file;
  std::vector<gorvane::server::OwedResult> results;
  for (std::string text; std::getline(in, text);) {
    if (auto result = gorvane::server::ParseResultLine(text)) results.push_back(std::move(*result));
  }
  std::string error;
  const auto accounts = AccountStore::Open(line.server.databasePath, error);
  if (!accounts) {
    std::fprintf(stderr, "gorvane-server: %s\n", error.c_str());
    return 1;
  }
  for (size_t i = 0; i < results.size(); ++i) {
    if (!accounts->Apply(results[i], error)) {
      std::fprintf(stderr, "gorvane-server: %zu of %zu results added; then: %s\n", i, results.size(),
                   error.c_str());
      return 1;
    }
  }
  std::fprintf(stderr, "gorvane-server: %zu results added to %s (any there already counted once)\n",
               results.size(), MaskedWhere(line.server.databasePath).c_str());
  return 0;
}

int AddUser(const CommandLine& line) {
  const std::string& login = *line.addUser;
  if (login.empty() || login.find_first_of(std::string(" \t\r\n\0", 5)) != std::string::npos) {
    std::fprintf(stderr, "gorvane-server: a login is one word without blanks\n");
    return 2;
  }
  const auto password = ReadPassword();
  if (!password || password->empty()) {
    std::fprintf(stderr, "gorvane-server: no password on standard input\n");
    return 2;
  }
  if (const auto missing = MissingDatabaseFolder(line.server.databasePath)) {
    std::fprintf(stderr, "gorvane-server: %s\n", missing->c_str());
    return 1;
  }
  std::string error;
  const auto accounts = AccountStore::Open(line.server.databasePath, error);
  if (!accounts || !accounts->SetPassword(login, *password, error) ||
      (line.asModerator && !accounts->SetModerator(login, true, error))) {
    std::fprintf(stderr, "gorvane-server: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "gorvane-server: account %s stored in %s%s\n", login.c_str(),
               MaskedWhere(line.server.databasePath).c_str(), line.asModerator ? ", a moderator's" : "");
  return 0;
}

// --moderator LOGIN or --no-moderator LOGIN: an existing account only.
int ChangeModerator(const CommandLine& line) {
  const bool on = line.moderatorOn.has_value();
  const std::string& login = on ? *line.moderatorOn : *line.moderatorOff;
  const std::string where = MaskedWhere(line.server.databasePath);
  if (const auto missing = MissingDatabaseFolder(line.server.databasePath)) {
    std::fprintf(stderr, "gorvane-server: %s\n", missing->c_str());
    return 1;
  }
  std::string error;
  const auto accounts = AccountStore::Open(line.server.databasePath, error);
  if (!accounts) {
    std::fprintf(stderr, "gorvane-server: %s\n", error.c_str());
    return 1;
  }
  // Asked first, so that an unknown login reads as that and not as a
  // failure of the store.
  bool failed = false;
  const bool known = accounts->Lookup(login, failed, error).has_value();
  if (!known && !failed) {
    std::fprintf(stderr, "gorvane-server: no account %s in %s; store it first with --add-user\n",
                 login.c_str(), where.c_str());
    return 1;
  }
  if (failed || !accounts->SetModerator(login, on, error)) {
    std::fprintf(stderr, "gorvane-server: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "gorvane-server: account %s in %s %s\n", login.c_str(), where.c_str(),
               on ? "may moderate the lobby now" : "moderates no more");
  return 0;
}

// The last moderators' actions, newest first, one a line; what moderators
// typed is code page 932 and is shown in UTF-8.
int PrintAudit(const CommandLine& line) {
  std::string error;
  const auto accounts = AccountStore::Open(line.server.databasePath, error);
  const auto entries = accounts ? accounts->Audit(*line.audit, error) : std::nullopt;
  if (!entries) {
    std::fprintf(stderr, "gorvane-server: %s\n", error.c_str());
    return 1;
  }
  for (const gorvane::server::AuditEntry& entry : *entries) {
    const std::time_t at = static_cast<std::time_t>(entry.at);
    std::tm utc{};
    char when[32] = "?";
    if (gmtime_r(&at, &utc) != nullptr) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &utc);
    std::printf("%s  %s  %s  %s  %s\n", when, gorvane::sjis::ToUtf8(entry.moderator).c_str(),
                gorvane::sjis::ToUtf8(entry.action).c_str(), gorvane::sjis::ToUtf8(entry.target).c_str(),
                gorvane::sjis::ToUtf8(entry.reason).c_str());
  }
  return 0;
}

// --unban LOGIN|ADDRESS: the host's way to lift a ban, for one that keeps
// out the address a moderator would come from (nobody is known as a
// moderator before joining). Audited as the host's.
int Unban(const CommandLine& line) {
  std::string error;
  const auto accounts = AccountStore::Open(line.server.databasePath, error);
  const int64_t now = gorvane::server::SystemSeconds();
  const std::string target =
      gorvane::server::AddressKeyOf(*line.unban, line.server.ipv6Prefix).value_or(*line.unban);
  const auto lifted = accounts ? accounts->LiftBans(target, now, error) : std::nullopt;
  if (!lifted) {
    std::fprintf(stderr, "gorvane-server: %s\n", error.c_str());
    return 1;
  }
  if (*lifted > 0 && !accounts->AddAudit({now, "(host)", "unban", target, {}}, error)) {
    std::fprintf(stderr, "gorvane-server: lifted, but not audited: %s\n", error.c_str());
  }
  std::fprintf(stderr, "gorvane-server: %zu ban%s on %s lifted; every server lets it in within seconds\n",
               *lifted, *lifted == 1 ? "" : "s", line.unban->c_str());
  return 0;
}

// As many descriptors as the system lets this process have: every user is
// one.
void RaiseFileLimit() {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur >= files.rlim_max) return;
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  auto line = gorvane::server::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!line) {
    std::fprintf(stderr, "gorvane-server: %s (gorvane-server --help lists the options)\n", error.c_str());
    return 2;
  }
  if (line->help) {
    std::fputs(gorvane::server::kUsage, stdout);
    return 0;
  }
  if (line->version) {
    const auto& v = gorvane::kVersion;
    std::printf("gorvane-server %u.%u.%u.%u\n", v[0], v[1], v[2], v[3]);
    return 0;
  }
  if (line->addUser) return AddUser(*line);
  if (line->moderatorOn || line->moderatorOff) return ChangeModerator(*line);
  if (line->audit) return PrintAudit(*line);
  if (line->unban) return Unban(*line);
  if (line->importFrom) return Import(*line);
  if (line->replayFrom) return ReplayResults(*line);
  if (const auto missing = MissingDatabaseFolder(line->server.databasePath)) {
    std::fprintf(stderr, "gorvane-server: %s\n", missing->c_str());
    return 1;
  }
  if (!line->cardsGiven) {
    const auto deck = FindDeck(error);
    if (!deck) {
      std::fprintf(stderr, "gorvane-server: %s\n", error.c_str());
      return 1;
    }
    line->server.cardsPath = *deck;
  }
  if (!line->seedGiven) line->server.seed = std::random_device{}();
  signal(SIGPIPE, SIG_IGN);
  RaiseFileLimit();
  // SIGTERM and SIGINT (and SIGHUP) arrive as a descriptor the loop watches, so that the
  // server says goodbye from its own thread; blocked before any thread
  // starts so that none of them takes the signal instead.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  // With TLS, SIGHUP reads a renewed certificate; without, it stops as ever.
  if (line->server.tls || line->server.tlsSelfSigned) sigaddset(&stops, SIGHUP);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  const int signals = signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signals < 0) {
    // Without the descriptor the signals must at least still stop the server.
    std::fprintf(stderr, "gorvane-server: signalfd: %s; SIGTERM stops without a goodbye\n",
                 std::strerror(errno));
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
  }
  gorvane::server::Server server(line->server);
  if (!server.Start(error)) {
    std::fprintf(stderr, "gorvane-server: %s\n", error.c_str());
    return 1;
  }
  if (signals >= 0) server.StopOn(signals);
  server.Run();
  return 0;
}
