// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/loop/options.h"

#include <charconv>
#include <cstdint>
#include <functional>
#include <limits>

#include "server/base/net.h"
#include "server/http/status_page.h"

namespace gorvane::server {

const char* const kUsage =
    "usage: gorvane-server [options]\n"
    "  --listen ADDR          IPv4 or IPv6 address to listen on (127.0.0.1; :: or 0.0.0.0 for all)\n"
    "  --port N               TCP port (21012; 0 for any free port)\n"
    "  --db FILE|URI          accounts and statistics: an SQLite file (gorvane-server.db) or a\n"
    "                         PostgreSQL database several servers share (postgresql://...)\n"
    "  --cards FILE           card list (longcardlist.txt here, else the installed one)\n"
    "  --max-users N          joined users at most (1000)\n"
    "  --idle-give-way N      when full, a newcomer takes the place of the user silent longest,\n"
    "                         if silent N seconds or more, never a user in a game (600; 0: never)\n"
    "  --max-per-address N    connections from one address at most (8)\n"
    "  --max-unjoined N       connections that have not joined yet at most (256)\n"
    "  --ipv6-prefix N        per-address limits count an IPv6 /N as one address (64)\n"
    "  --turn-seconds N       a turn not ended in N seconds is ended by the server (120; 0: never)\n"
    "  --chat-lines N         chat lines one user may send per 10 s (10)\n"
    "  --chat-bytes N         chat bytes one user may send per 10 s (2000)\n"
    "  --lobby-broadcasts N   party creates, joins, leaves and renames per user per 10 s (5)\n"
    "  --commands N           commands of any kind per user per 10 s; past it they are refused,\n"
    "                         and ten times the chat lines of refusals cut the user off (1000)\n"
    "  --seed N               seed of the deck and the dice (random)\n"
    "  --http [ADDR:]PORT     serve a status page (/), /metrics and /healthz over HTTP; PORT alone\n"
    "                         listens on 127.0.0.1 only, [::1]:PORT on IPv6 (off)\n"
    "  --public-address HOST[:PORT]\n"
    "                         where players connect, shown on the status page, for a server\n"
    "                         behind a router (the --listen address and --port)\n"
    "  --tls-cert FILE        speak TLS 1.2 and 1.3 on the game port to clients that open with it,\n"
    "  --tls-key FILE         with this PEM certificate chain (fullchain.pem) and key (privkey.pem),\n"
    "                         both read again on SIGHUP; plain clients are greeted after 150 ms\n"
    "                         and told the key's fingerprint (off)\n"
    "  --tls-self-signed      the same with a key and self-signed certificate made once beside an\n"
    "                         SQLite --db, else in $STATE_DIRECTORY or the working directory\n"
    "  --plain-logins         with TLS on, still check logins sent over plain text (refused)\n"
    "  --registration open|closed\n"
    "                         open: an unknown login with a password of 8 bytes or more is made an\n"
    "                         account at its first login, 3 a day per address at most, over TLS\n"
    "                         only when TLS is on (closed)\n"
    "  --add-user LOGIN       store an account, its password read from standard input, and exit;\n"
    "                         with --moderator, an account that may moderate the lobby\n"
    "  --moderator LOGIN      let an existing account moderate the lobby, and exit\n"
    "  --no-moderator LOGIN   take that from it, and exit\n"
    "  --audit [N]            print the last N moderators' actions (20), newest first, and exit\n"
    "  --unban LOGIN|ADDRESS  lift the bans in force on that login or address, and exit\n"
    "  --import FILE          copy the accounts and statistics of an SQLite file into --db once, and exit\n"
    "  --replay-results FILE  add the results a stop logged as not stored (\"result not stored: ...\"\n"
    "                         lines of FILE, - for standard input) to --db, each once, and exit\n"
    "  --help                 print this and exit\n"
    "  --version              print the version and exit\n"
    "Connections that do not join within 10 s are closed; five failed logins within a minute from\n"
    "one address stop password checks for it for a minute. One login's passwords are checked at\n"
    "most 10 a minute; more wait their turn, or are refused from an address that failed lately.\n"
    "The log goes to standard error. SIGTERM or SIGINT: goodbye to every user, results not stored\n"
    "logged, database closed, exit 0 within 5 s.\n";

namespace {

// Moderators' actions --audit prints without a count, and at most.
constexpr uint64_t kAuditDefault = 20;
constexpr uint64_t kAuditMost = 100'000;

std::optional<uint64_t> Unsigned(const std::string& text, uint64_t max) {
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, 10);
  if (text.empty() || ec != std::errc() || ptr != end || value > max) return std::nullopt;
  return value;
}

struct NumberOption {
  const char* name;
  uint64_t min;
  uint64_t max;
  std::function<void(CommandLine&, uint64_t)> store;
};

const NumberOption kNumbers[] = {
    {"--port", 0, std::numeric_limits<uint16_t>::max(),
     [](CommandLine& line, uint64_t v) { line.server.port = static_cast<uint16_t>(v); }},
    {"--max-users", 1, 1'000'000, [](CommandLine& line, uint64_t v) { line.server.maxUsers = v; }},
    {"--max-per-address", 1, 1'000'000, [](CommandLine& line, uint64_t v) { line.server.maxPerAddress = v; }},
    {"--max-unjoined", 1, 1'000'000, [](CommandLine& line, uint64_t v) { line.server.maxUnjoined = v; }},
    {"--idle-give-way", 0, 86'400 * 365,
     [](CommandLine& line, uint64_t v) { line.server.idleGiveWay = std::chrono::seconds(v); }},
    {"--ipv6-prefix", 0, 128,
     [](CommandLine& line, uint64_t v) { line.server.ipv6Prefix = static_cast<int>(v); }},
    {"--turn-seconds", 0, 86'400,
     [](CommandLine& line, uint64_t v) { line.server.turnTime = std::chrono::seconds(v); }},
    {"--chat-lines", 1, 1'000'000, [](CommandLine& line, uint64_t v) { line.server.chat.count = v; }},
    {"--chat-bytes", 1, 1'000'000'000, [](CommandLine& line, uint64_t v) { line.server.chat.bytes = v; }},
    {"--lobby-broadcasts", 1, 1'000'000,
     [](CommandLine& line, uint64_t v) { line.server.broadcasts.count = v; }},
    {"--commands", 1, 1'000'000'000, [](CommandLine& line, uint64_t v) { line.server.commands.count = v; }},
    {"--seed", 0, std::numeric_limits<uint32_t>::max(),
     [](CommandLine& line, uint64_t v) {
       line.server.seed = static_cast<uint32_t>(v);
       line.seedGiven = true;
     }},
};

// "PORT" (loopback only), "ADDR:PORT" or "[IPV6]:PORT".
std::optional<HttpEndpoint> HttpEndpointOf(const std::string& text) {
  HttpEndpoint endpoint{"127.0.0.1", 0};
  std::string port = text;
  if (text.starts_with('[')) {
    const size_t close = text.find("]:");
    if (close == std::string::npos) return std::nullopt;
    endpoint.address = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
    endpoint.address = text.substr(0, colon);
    port = text.substr(colon + 1);
    // An IPv6 address is bracketed, or its last group would be the port.
    if (endpoint.address.find(':') != std::string::npos) return std::nullopt;
  }
  const auto number = Unsigned(port, std::numeric_limits<uint16_t>::max());
  if (!number || !ListenAddress(endpoint.address, 0)) return std::nullopt;
  endpoint.port = static_cast<uint16_t>(*number);
  return endpoint;
}

}  // namespace

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& arguments, std::string& error) {
  CommandLine line;
  std::optional<std::string> certificate;
  std::optional<std::string> key;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "--help" || option == "-h") {
      line.help = true;
      continue;
    }
    if (option == "--version") {
      line.version = true;
      continue;
    }
    if (option == "--tls-self-signed") {
      line.server.tlsSelfSigned = true;
      continue;
    }
    if (option == "--plain-logins") {
      line.server.plainLogins = true;
      continue;
    }
    if (!option.starts_with("--")) {
      error = "unexpected argument " + option;
      return std::nullopt;
    }
    // These take a value only when one follows: --moderator alone marks the
    // account --add-user stores, --audit alone prints the last 20.
    const bool valueFollows = i + 1 < arguments.size() && !arguments[i + 1].starts_with("--");
    if (option == "--moderator" && !valueFollows) {
      line.asModerator = true;
      continue;
    }
    if (option == "--audit") {
      line.audit = kAuditDefault;
      if (!valueFollows) continue;
      const auto count = Unsigned(arguments[++i], kAuditMost);
      if (!count || *count == 0) {
        error = "--audit wants a number from 1 to " + std::to_string(kAuditMost) + ", not " + arguments[i];
        return std::nullopt;
      }
      line.audit = static_cast<size_t>(*count);
      continue;
    }
    const NumberOption* number = nullptr;
    for (const NumberOption& candidate : kNumbers) {
      if (option == candidate.name) number = &candidate;
    }
    const bool known = number != nullptr || option == "--listen" || option == "--db" || option == "--cards" ||
                       option == "--add-user" || option == "--import" || option == "--replay-results" ||
                       option == "--http" || option == "--public-address" || option == "--tls-cert" ||
                       option == "--tls-key" || option == "--moderator" || option == "--no-moderator" ||
                       option == "--registration" || option == "--unban";
    if (!known) {
      error = "unknown option " + option;
      return std::nullopt;
    }
    if (i + 1 >= arguments.size()) {
      error = option + " wants a value";
      return std::nullopt;
    }
    const std::string& value = arguments[++i];
    if (number != nullptr) {
      const auto parsed = Unsigned(value, number->max);
      if (!parsed || *parsed < number->min) {
        error = option + " wants a number from " + std::to_string(number->min) + " to " +
                std::to_string(number->max) + ", not " + value;
        return std::nullopt;
      }
      number->store(line, *parsed);
    } else if (option == "--listen") {
      if (!ListenAddress(value, 0)) {
        error = "--listen wants an IPv4 or IPv6 address, not " + value;
        return std::nullopt;
      }
      line.server.listenAddress = value;
    } else if (option == "--db") {
      line.server.databasePath = value;
    } else if (option == "--cards") {
      line.server.cardsPath = value;
      line.cardsGiven = true;
    } else if (option == "--http") {
      line.server.http = HttpEndpointOf(value);
      if (!line.server.http) {
        error = "--http wants PORT, ADDR:PORT or [IPV6]:PORT, not " + value;
        return std::nullopt;
      }
    } else if (option == "--public-address") {
      if (!IsPublicAddress(value)) {
        error = "--public-address wants HOST, HOST:PORT or [IPV6]:PORT, not " + value;
        return std::nullopt;
      }
      line.server.publicAddress = value;
    } else if (option == "--tls-cert") {
      certificate = value;
    } else if (option == "--tls-key") {
      key = value;
    } else if (option == "--import") {
      line.importFrom = value;
    } else if (option == "--replay-results") {
      line.replayFrom = value;
    } else if (option == "--moderator") {
      line.moderatorOn = value;
    } else if (option == "--no-moderator") {
      line.moderatorOff = value;
    } else if (option == "--unban") {
      line.unban = value;
    } else if (option == "--registration") {
      if (value != "open" && value != "closed") {
        error = "--registration wants open or closed, not " + value;
        return std::nullopt;
      }
      line.server.registrationOpen = value == "open";
    } else {
      line.addUser = value;
    }
  }
  if (certificate.has_value() != key.has_value()) {
    error = "--tls-cert and --tls-key go together";
    return std::nullopt;
  }
  if (certificate && line.server.tlsSelfSigned) {
    error = "--tls-self-signed makes its own pair: not with --tls-cert and --tls-key";
    return std::nullopt;
  }
  if (line.server.plainLogins && !certificate && !line.server.tlsSelfSigned) {
    error = "--plain-logins is for a server with TLS (--tls-cert and --tls-key, or --tls-self-signed)";
    return std::nullopt;
  }
  if (line.asModerator && !line.addUser) {
    error = "--moderator wants a LOGIN, or goes with --add-user LOGIN";
    return std::nullopt;
  }
  if (line.addUser && (line.moderatorOn || line.moderatorOff)) {
    error = "--add-user LOGIN --moderator marks the account it stores: no second LOGIN";
    return std::nullopt;
  }
  if (line.moderatorOn && line.moderatorOff) {
    error = "--moderator and --no-moderator: one at a time";
    return std::nullopt;
  }
  if (certificate) line.server.tls = TlsFiles{*certificate, *key};
  return line;
}

}  // namespace gorvane::server
