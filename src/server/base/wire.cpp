// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/base/wire.h"

#include "spine/codec.h"
#include "spine/fields.h"
#include "spine/sjis.h"

namespace gorvane::server {

Command ParseCommand(std::string_view message) {
  Command command;
  const size_t kindEnd = message.find(' ');
  command.kind = message.substr(0, kindEnd);
  if (kindEnd == std::string_view::npos) return command;
  const std::string_view rest = message.substr(kindEnd + 1);
  const size_t idEnd = rest.find(' ');
  command.id = rest.substr(0, idEnd);
  if (idEnd != std::string_view::npos) command.argument = rest.substr(idEnd + 1);
  return command;
}

std::optional<std::vector<int32_t>> ParseNumbers(std::string_view argument) {
  std::vector<int32_t> numbers;
  size_t p = 0;
  while (p < argument.size()) {
    if (IsBlank(static_cast<unsigned char>(argument[p]))) {
      ++p;
      continue;
    }
    size_t end = p;
    while (end < argument.size() && !IsBlank(static_cast<unsigned char>(argument[end]))) ++end;
    const auto number = ParseInt32(argument.substr(p, end - p));
    if (!number) return std::nullopt;
    numbers.push_back(*number);
    p = end;
  }
  return numbers;
}

std::string Message(std::string_view kind, std::initializer_list<std::string_view> fields) {
  Fields all;
  all.reserve(fields.size() + 1);
  all.emplace_back(kind);
  for (const std::string_view field : fields) all.emplace_back(field);
  return JoinCommaText(all);
}

std::string Message(std::string_view kind, const std::vector<std::string>& fields) {
  Fields all;
  all.reserve(fields.size() + 1);
  all.emplace_back(kind);
  all.insert(all.end(), fields.begin(), fields.end());
  return JoinCommaText(all);
}

std::string Record(std::initializer_list<std::string_view> parts) {
  std::string record;
  bool first = true;
  for (const std::string_view part : parts) {
    if (!first) record += ':';
    first = false;
    bool quote = part.empty();
    for (const unsigned char c : part) {
      if (c <= 0x20 || c == '"' || c == ':') quote = true;
    }
    if (!quote) {
      record += part;
      continue;
    }
    record += '"';
    for (const char c : part) {
      if (c == '"') record += '"';
      record += c;
    }
    record += '"';
  }
  return record;
}

std::string ChatLine(std::string_view kind, std::string_view name, std::string_view text) {
  std::string line;
  line.reserve(kind.size() + name.size() + text.size() + 3);
  line += kind;
  line += ' ';
  line += name;
  line += "> ";
  line += text;
  return line;
}

std::string Printable(std::string_view bytes, size_t limit) {
  static constexpr char kHex[] = "0123456789abcdef";
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  const auto escape = [&](std::string& text, unsigned char c) {
    text += "\\x";
    text += kHex[c >> 4];
    text += kHex[c & 0xf];
  };
  const std::string_view shown = bytes.substr(0, limit);
  std::string text;
  for (size_t i = 0; i < shown.size();) {
    const unsigned char c = static_cast<unsigned char>(shown[i]);
    if (c < 0x20 || c == 0x7f || c == '\\') {
      escape(text, c);
      ++i;
    } else if (c < 0x80) {
      text += static_cast<char>(c);
      ++i;
    } else {
      // Code page 932 shown as UTF-8, for a terminal or the journal; what is
      // not a whole character stays visible as \xNN.
      const size_t size = sjis::IsLeadByte(c) && i + 1 < shown.size() ? 2 : 1;
      const std::string utf8 = sjis::ToUtf8(shown.substr(i, size));
      if (utf8.find(kReplacement) == std::string::npos) {
        text += utf8;
        i += size;
      } else {
        escape(text, c);
        ++i;
      }
    }
  }
  if (bytes.size() > limit) text += "...";
  return text;
}

std::string Clip(std::string_view text, size_t limit) {
  return text.size() <= limit ? std::string(text) : std::string(text.substr(0, limit)) + "...";
}

}  // namespace gorvane::server
