// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/server_keys.h"

#include "client/owner_file.h"

namespace gorvane {
namespace {

constexpr std::string_view kBlanks = " \t\r";

constexpr std::string_view kHeader =
    "# Gorvane: the keys of the servers this client has connected to with encryption.\n"
    "# One line per address: the address, a blank, the SHA-256 fingerprint of the\n"
    "# server's public key. To accept a new key from a server knowingly, delete\n"
    "# that address's line; the next connection records the key it meets.\n";

std::string_view Trim(std::string_view text) {
  const size_t begin = text.find_first_not_of(kBlanks);
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(kBlanks) + 1 - begin);
}

struct Entry {
  std::string_view address;
  std::string_view key;
};

// A line's address and key; an empty address for blanks and comments.
Entry Parse(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() == '#') return {};
  const size_t gap = line.find_first_of(kBlanks);
  if (gap == std::string_view::npos) return {line, {}};
  return {line.substr(0, gap), Trim(line.substr(gap))};
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string FormatFingerprint(std::string_view sha256) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (const char byte : sha256) {
    if (!text.empty()) text += ':';
    const auto value = static_cast<unsigned char>(byte);
    text += kDigits[value >> 4];
    text += kDigits[value & 0x0F];
  }
  return text;
}

std::optional<std::string> CanonicalFingerprint(std::string_view text) {
  constexpr size_t kBytes = 32;
  if (text.size() != kBytes * 3 - 1) return std::nullopt;
  std::string digest;
  for (size_t i = 0; i < kBytes; ++i) {
    const size_t at = i * 3;
    if (i > 0 && text[at - 1] != ':') return std::nullopt;
    const int high = HexValue(text[at]);
    const int low = HexValue(text[at + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    digest += static_cast<char>(high * 16 + low);
  }
  return FormatFingerprint(digest);
}

std::optional<std::string> ServerKeys::Find(std::string_view address) const {
  const std::optional<std::string> text = LoadFileBytes(path_);
  if (!text) return std::nullopt;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const Entry entry = Parse(rest.substr(0, end));
    if (!entry.address.empty() && entry.address == address) {
      return CanonicalFingerprint(entry.key).value_or(std::string(entry.key));
    }
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  return std::nullopt;
}

bool ServerKeys::Remember(std::string_view address, std::string_view fingerprint) {
  const std::optional<std::string> text = LoadFileBytes(path_);
  if (!text) return false;
  const std::string line = std::string(address) + " " + std::string(fingerprint);
  std::string out;
  bool replaced = false;
  std::string_view rest = *text;
  if (rest.empty()) out = kHeader;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string_view current = rest.substr(0, end);
    if (!replaced && Parse(current).address == address) {
      out += line;
      replaced = true;
    } else {
      out += current;
    }
    if (end == std::string_view::npos) break;
    out += '\n';
    rest = rest.substr(end + 1);
  }
  if (!replaced) {
    if (!out.empty() && out.back() != '\n') out += '\n';
    out += line;
  }
  if (out.back() != '\n') out += '\n';
  return SaveOwnerOnly(path_, out);
}

}  // namespace gorvane
