#include "bot/bot_options.h"

#include <arpa/inet.h>

#include "core/fields.h"
#include "core/sjis.h"

namespace gorvane::bot {

std::optional<BotCommandLine> ParseBotCommandLine(const std::vector<std::string>& arguments,
                                                  std::string& error) {
  BotCommandLine line;
  std::string name = "bot";
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
    } else if (option == "--log") {
      line.log = true;
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
  const auto cp932 = sjis::FromUtf8(name);
  if (name.empty() || !cp932 || name.find('"') != std::string::npos) {
    error = "--name wants a non-empty name without double quotes that code page 932 can hold";
    return std::nullopt;
  }
  line.player.name = *cp932;
  return line;
}

}  // namespace gorvane::bot
