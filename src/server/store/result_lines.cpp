// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/store/result_lines.h"

#include <charconv>

namespace gorvane::server {
namespace {

constexpr std::string_view kStart = "result not stored: login ";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<int64_t> Number(std::string_view text) {
  int64_t value = 0;
  const auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (fault != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::string ResultLine(const OwedResult& result) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const char byte : result.id) {
    hex += kDigits[static_cast<unsigned char>(byte) >> 4];
    hex += kDigits[static_cast<unsigned char>(byte) & 0xF];
  }
  return std::string(kStart) + result.login + ", prize " + std::to_string(result.prize) + ", win " +
         std::to_string(result.wins) + ", id " + hex;
}

std::optional<OwedResult> ParseResultLine(std::string_view line) {
  const size_t start = line.find(kStart);
  if (start == std::string_view::npos) return std::nullopt;
  line.remove_prefix(start + kStart.size());
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  // From the right: a login may hold ", " itself.
  const size_t id = line.rfind(", id ");
  const size_t win = line.substr(0, id).rfind(", win ");
  const size_t prize = line.substr(0, win).rfind(", prize ");
  if (id == std::string_view::npos || win == std::string_view::npos || prize == std::string_view::npos) {
    return std::nullopt;
  }
  OwedResult result;
  result.login = std::string(line.substr(0, prize));
  const auto amount = Number(line.substr(prize + 8, win - prize - 8));
  const auto wins = Number(line.substr(win + 6, id - win - 6));
  const std::string_view hex = line.substr(id + 5);
  if (result.login.empty() || !amount || !wins || hex.empty() || hex.size() % 2 != 0) return std::nullopt;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]);
    const int low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    result.id += static_cast<char>(high * 16 + low);
  }
  result.prize = *amount;
  result.wins = *wins;
  return result;
}

}  // namespace gorvane::server
