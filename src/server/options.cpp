#include "server/options.h"

#include <charconv>
#include <cstdint>
#include <limits>

namespace gorvane::server {
namespace {

std::optional<uint64_t> Unsigned(const std::string& text, uint64_t max) {
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, 10);
  if (text.empty() || ec != std::errc() || ptr != end || value > max) return std::nullopt;
  return value;
}

}  // namespace

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& arguments, std::string& error) {
  CommandLine line;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (i + 1 >= arguments.size()) {
      error = option.starts_with("--") ? option + " wants a value" : "unexpected argument " + option;
      return std::nullopt;
    }
    const std::string& value = arguments[++i];
    if (option == "--listen") {
      line.server.listenAddress = value;
    } else if (option == "--port") {
      const auto port = Unsigned(value, std::numeric_limits<uint16_t>::max());
      if (!port) {
        error = "--port wants 0 to 65535, not " + value;
        return std::nullopt;
      }
      line.server.port = static_cast<uint16_t>(*port);
    } else if (option == "--db") {
      line.server.databasePath = value;
    } else if (option == "--cards") {
      line.server.cardsPath = value;
    } else if (option == "--max-users") {
      const auto users = Unsigned(value, 1'000'000);
      if (!users || *users == 0) {
        error = "--max-users wants a number from 1, not " + value;
        return std::nullopt;
      }
      line.server.maxUsers = static_cast<size_t>(*users);
    } else if (option == "--seed") {
      const auto seed = Unsigned(value, std::numeric_limits<uint32_t>::max());
      if (!seed) {
        error = "--seed wants 0 to 4294967295, not " + value;
        return std::nullopt;
      }
      line.server.seed = static_cast<uint32_t>(*seed);
      line.seedGiven = true;
    } else if (option == "--add-user") {
      line.addUser = value;
    } else {
      error = "unknown option " + option;
      return std::nullopt;
    }
  }
  return line;
}

}  // namespace gorvane::server
