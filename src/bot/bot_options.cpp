// SPDX-License-Identifier: GPL-3.0-or-later
#include "bot/bot_options.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "rules/card_catalogue.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane::bot {
namespace {

// The deck at path, if the player can open it.
std::optional<std::string> Readable(const std::string& path, std::string& error) {
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored) || !std::ifstream(path, std::ios::binary)) {
    error = "cannot read the deck '" + path + "'";
    return std::nullopt;
  }
  return path;
}

}  // namespace

std::string DefaultName(long processId) {
  // The hero kinds the deck's cards are for.
  static constexpr const char* kKinds[] = {"戦士", "ドワーフ", "エルフ", "魔術師", "シーフ"};
  constexpr long kKindCount = static_cast<long>(std::size(kKinds));
  const long id = processId < 0 ? -processId : processId;
  return kKinds[id % kKindCount] + std::to_string(id / kKindCount % 100);
}

std::optional<std::string> DeckProblem(const std::string& path, const CardCatalogue& deck) {
  if (const auto& fault = deck.fault()) {
    if (fault->line == 0) return "cannot read the deck '" + path + "'";
    return "the deck '" + path + "' has a bad line " + std::to_string(fault->line) + ": " +
           sjis::ToUtf8(fault->reason);
  }
  if (deck.Card(1).kind == 0) return "the deck '" + path + "' holds no cards";
  return std::nullopt;
}

std::optional<std::string> ChooseDeck(const std::optional<std::string>& given, const std::string& installed,
                                      std::string& error) {
  if (given) return Readable(*given, error);
  std::error_code ignored;
  const std::string here(kCardListFile);
  if (std::filesystem::exists(here, ignored)) return Readable(here, error);
  if (!installed.empty() && std::filesystem::exists(installed, ignored)) return Readable(installed, error);
  error = "no deck: no " + here + " in the working directory" +
          (installed.empty() ? std::string() : " nor at " + installed) + "; give one with --cards FILE";
  return std::nullopt;
}

std::optional<std::string> PasswordFromLine(std::string line, std::string& error) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const auto cp932 = sjis::FromUtf8(line);
  if (line.empty() || !cp932) {
    error = "--login wants its password as one line on standard input, in characters code page 932 can hold";
    return std::nullopt;
  }
  return *cp932;
}

std::optional<BotCommandLine> ParseBotCommandLine(const std::vector<std::string>& arguments,
                                                  std::string& error) {
  BotCommandLine line;
  for (const std::string& argument : arguments) {
    if (argument == "--help" || argument == "--version") {
      line.action = argument == "--help" ? BotCommandLine::Action::kHelp : BotCommandLine::Action::kVersion;
      return line;
    }
  }
  std::optional<std::string> name;
  int modes = 0;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    auto value = [&]() -> const std::string* {
      if (i + 1 >= arguments.size()) {
        error = option + " wants a value";
        return nullptr;
      }
      return &arguments[++i];
    };
    if (option == "--host") {
      const std::string* host = value();
      if (host == nullptr) return std::nullopt;
      in_addr address{};
      if (inet_pton(AF_INET, host->c_str(), &address) != 1) {
        error = "--host wants a dotted IPv4 address, not '" + *host + "'";
        return std::nullopt;
      }
      line.player.host = *host;
    } else if (option == "--port") {
      const std::string* text = value();
      if (text == nullptr) return std::nullopt;
      const auto port = ParseInt32(*text);
      if (!port || *port < 1 || *port > 65535) {
        error = "--port wants a number from 1 to 65535, not '" + *text + "'";
        return std::nullopt;
      }
      line.player.port = static_cast<uint16_t>(*port);
    } else if (option == "--name") {
      const std::string* text = value();
      if (text == nullptr) return std::nullopt;
      name = *text;
    } else if (option == "--create") {
      line.player.mode = Mode::kCreate;
      ++modes;
    } else if (option == "--join") {
      const std::string* text = value();
      if (text == nullptr) return std::nullopt;
      const auto party = ParseInt32(*text);
      if (!party || *party < 1) {
        error = "--join wants a party number, not '" + *text + "'";
        return std::nullopt;
      }
      line.player.mode = Mode::kJoin;
      line.player.party = *party;
      ++modes;
    } else if (option == "--join-any") {
      line.player.mode = Mode::kJoinAny;
      ++modes;
    } else if (option == "--games") {
      const std::string* text = value();
      if (text == nullptr) return std::nullopt;
      const auto games = ParseInt32(*text);
      if (!games || *games < 1) {
        error = "--games wants a number of games from 1 up, not '" + *text + "'";
        return std::nullopt;
      }
      line.games = *games;
    } else if (option == "--start-after") {
      const std::string* text = value();
      if (text == nullptr) return std::nullopt;
      const auto seconds = ParseInt32(*text);
      if (!seconds || *seconds < 0) {
        error = "--start-after wants a number of seconds from 0 up, not '" + *text + "'";
        return std::nullopt;
      }
      line.player.startAfter = std::chrono::seconds(*seconds);
    } else if (option == "--login") {
      const std::string* text = value();
      if (text == nullptr) return std::nullopt;
      // The server takes what comes before the first blank as the login;
      // "guest" is what the client sends no login for.
      const auto cp932 = sjis::FromUtf8(*text);
      if (text->empty() || !cp932 || text->find(' ') != std::string::npos || *text == "guest") {
        error = "--login wants a login without blanks that code page 932 can hold, not '" + *text + "'";
        return std::nullopt;
      }
      line.player.login = *cp932;
    } else if (option == "--strength") {
      const std::string* text = value();
      if (text == nullptr) return std::nullopt;
      const auto strength = ParseInt32(*text);
      if (!strength || *strength < kWeakest || *strength > kStrongest) {
        error = "--strength wants 1, 2 or 3, not '" + *text + "'";
        return std::nullopt;
      }
      line.player.strength = *strength;
    } else if (option == "--think") {
      line.player.think = true;
    } else if (option == "--log") {
      line.log = true;
    } else if (option == "--cards") {
      const std::string* file = value();
      if (file == nullptr) return std::nullopt;
      if (file->empty()) {
        error = "--cards wants a file name";
        return std::nullopt;
      }
      line.cards = *file;
    } else {
      error = "unknown argument '" + option + "'";
      return std::nullopt;
    }
  }
  if (modes != 1) {
    error = "give exactly one of --create, --join N and --join-any";
    return std::nullopt;
  }
  // The server quotes names, but a double quote is one it will not take
  // in a rename either; an empty name never connects.
  if (!name) name = DefaultName(static_cast<long>(::getpid()));
  const auto cp932 = sjis::FromUtf8(*name);
  if (name->empty() || !cp932 || name->find('"') != std::string::npos) {
    error = "--name wants a non-empty name without double quotes that code page 932 can hold";
    return std::nullopt;
  }
  line.player.name = *cp932;
  return line;
}

}  // namespace gorvane::bot
