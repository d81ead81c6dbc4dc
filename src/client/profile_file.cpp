// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/profile_file.h"

#include <optional>
#include <utility>
#include <vector>

#include "client/owner_file.h"
#include "spine/sjis.h"

namespace gorvane {
namespace {

constexpr std::string_view kNewFileLineEnding = "\r\n";

// Trail bytes of code page 932 (0x40..0xFC) can look like '[' ']' '\' or
// ASCII letters, so those are only ever tested on whole characters. Blanks,
// quotes, '=', ';', CR and LF are never trail bytes and are safe to look for
// byte by byte.

// Width of the character starting at i; a lead byte cut off at the end
// counts alone.
size_t CharWidth(std::string_view text, size_t i) {
  return sjis::IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
}

constexpr bool IsBlank(char c) { return c == ' ' || c == '\t'; }
constexpr bool IsQuote(char c) { return c == '"' || c == '\''; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Position of the first whole character c, or npos.
size_t FindChar(std::string_view text, char c, size_t from = 0) {
  for (size_t i = from; i < text.size(); i += CharWidth(text, i)) {
    if (text[i] == c) return i;
  }
  return std::string_view::npos;
}

constexpr char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Case-insensitive on ASCII letters only: the trail byte of a double-byte
// character must match exactly, or ア (83 41) would equal ヂ (83 61).
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size();) {
    const size_t width = CharWidth(a, i);
    if (width == 2) {
      if (a.substr(i, 2) != b.substr(i, 2)) return false;
    } else if (FoldAscii(a[i]) != FoldAscii(b[i])) {
      return false;
    }
    i += width;
  }
  return true;
}

// One line as offsets into the file: content, then its CR LF / LF ending
// (empty on a last line without one).
struct Line {
  size_t begin;
  size_t contentEnd;
  size_t end;
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  for (size_t p = 0; p < text.size();) {
    const size_t lf = text.find('\n', p);
    const size_t end = lf == std::string_view::npos ? text.size() : lf + 1;
    size_t contentEnd = lf == std::string_view::npos ? text.size() : lf;
    if (contentEnd > p && text[contentEnd - 1] == '\r') --contentEnd;
    lines.push_back({p, contentEnd, end});
    p = end;
  }
  return lines;
}

enum class LineKind { kBlank, kComment, kSection, kSetting, kOther };

struct ParsedLine {
  LineKind kind = LineKind::kOther;
  std::string_view name;  // section or key, blanks trimmed
  size_t valueBegin = 0;  // setting value, after the blanks that follow '='
};

ParsedLine Parse(std::string_view text, const Line& line) {
  const std::string_view content = text.substr(line.begin, line.contentEnd - line.begin);
  const std::string_view trimmed = TrimBlanks(content);
  ParsedLine parsed;
  if (trimmed.empty()) {
    parsed.kind = LineKind::kBlank;
  } else if (trimmed.front() == ';') {
    parsed.kind = LineKind::kComment;
  } else if (trimmed.front() == '[') {
    // Without a closing bracket the rest of the line still names the
    // section, so the keys below never leak into the one above.
    const std::string_view inside = trimmed.substr(1);
    parsed.kind = LineKind::kSection;
    parsed.name = TrimBlanks(inside.substr(0, FindChar(inside, ']')));
  } else if (const size_t eq = content.find('='); eq != std::string_view::npos) {
    parsed.kind = LineKind::kSetting;
    parsed.name = TrimBlanks(content.substr(0, eq));
    size_t v = eq + 1;
    while (v < content.size() && IsBlank(content[v])) ++v;
    parsed.valueBegin = line.begin + v;
  }
  return parsed;
}

// Where a key lives: the line holding it, or else the last non-blank line of
// its section, within the first section of that name.
struct Location {
  std::optional<size_t> keyLine;
  std::optional<size_t> sectionLastLine;
};

Location Find(std::string_view text, const std::vector<Line>& lines, std::string_view section,
              std::string_view key) {
  Location found;
  for (size_t i = 0; i < lines.size(); ++i) {
    const ParsedLine parsed = Parse(text, lines[i]);
    if (parsed.kind == LineKind::kSection) {
      if (found.sectionLastLine) break;
      if (SameName(parsed.name, section)) found.sectionLastLine = i;
      continue;
    }
    if (!found.sectionLastLine) continue;
    if (parsed.kind != LineKind::kBlank) found.sectionLastLine = i;
    if (parsed.kind == LineKind::kSetting && SameName(parsed.name, key)) {
      found.keyLine = i;
      break;
    }
  }
  return found;
}

// The longest prefix of at most maxBytes that does not split a character.
std::string_view CutWhole(std::string_view text, size_t maxBytes) {
  size_t i = 0;
  while (i < text.size()) {
    const size_t width = CharWidth(text, i);
    if (i + width > maxBytes) break;
    i += width;
  }
  return text.substr(0, i);
}

std::string_view DecodeValue(std::string_view raw) {
  std::string_view value = TrimBlanks(raw);
  if (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return CutWhole(value, ProfileFile::kMaxValueBytes);
}

// Quoting whenever an edge byte is a blank or a quote makes every value read
// back exactly; line breaks cannot be held on one line at all.
std::string EncodeValue(std::string_view value) {
  std::string encoded;
  encoded.reserve(value.size() + 2);
  for (char c : value) {
    if (c != '\r' && c != '\n') encoded += c;
  }
  if (!encoded.empty() && (IsBlank(encoded.front()) || IsQuote(encoded.front()) || IsBlank(encoded.back()) ||
                           IsQuote(encoded.back()))) {
    encoded = '"' + encoded + '"';
  }
  return encoded;
}

bool HasLineBreak(std::string_view name) { return name.find_first_of("\r\n") != std::string_view::npos; }

bool IsWritableSection(std::string_view section) {
  return !HasLineBreak(section) && FindChar(section, ']') == std::string_view::npos;
}

bool IsWritableKey(std::string_view key) {
  return !key.empty() && !HasLineBreak(key) && key.find('=') == std::string_view::npos &&
         key.front() != ';' && key.front() != '[';
}

// New lines follow the file's first line ending.
std::string_view LineEndingOf(std::string_view text) {
  const size_t lf = text.find('\n');
  if (lf == std::string_view::npos) return kNewFileLineEnding;
  return lf > 0 && text[lf - 1] == '\r' ? "\r\n" : "\n";
}

// What must follow a line before another can be put after it: nothing
// unless it is an unterminated last line.
std::string_view Termination(std::string_view text, const Line& line, std::string_view eol) {
  const std::string_view ending = text.substr(line.contentEnd, line.end - line.contentEnd);
  if (ending.ends_with('\n')) return {};
  return ending == "\r" ? "\n" : eol;
}

}  // namespace

ProfileFile::ProfileFile(std::string path) : path_(std::move(path)) {}

const std::string& ProfileFile::path() const { return path_; }

std::string ProfileFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue) const {
  const std::optional<std::string> text = LoadFileBytes(path_);
  if (!text) return std::string(defaultValue);
  const std::vector<Line> lines = SplitLines(*text);
  const Location found = Find(*text, lines, TrimBlanks(section), TrimBlanks(key));
  if (!found.keyLine) return std::string(defaultValue);
  const Line& line = lines[*found.keyLine];
  const size_t valueBegin = Parse(*text, line).valueBegin;
  return std::string(DecodeValue(std::string_view(*text).substr(valueBegin, line.contentEnd - valueBegin)));
}

bool ProfileFile::HasKey(std::string_view section, std::string_view key) const {
  const std::optional<std::string> text = LoadFileBytes(path_);
  return text && Find(*text, SplitLines(*text), TrimBlanks(section), TrimBlanks(key)).keyLine.has_value();
}

bool ProfileFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  section = TrimBlanks(section);
  key = TrimBlanks(key);
  if (!IsWritableSection(section) || !IsWritableKey(key)) return false;
  const std::optional<std::string> loaded = LoadFileBytes(path_);
  if (!loaded) return false;
  const std::string_view text = *loaded;
  const std::vector<Line> lines = SplitLines(text);
  const Location found = Find(text, lines, section, key);
  const std::string encoded = EncodeValue(value);
  const std::string_view eol = LineEndingOf(text);

  std::string out;
  out.reserve(text.size() + section.size() + key.size() + encoded.size() + 8);
  if (found.keyLine) {
    // The key keeps its spelling and spacing; only the value changes.
    const Line& line = lines[*found.keyLine];
    out.append(text.substr(0, Parse(text, line).valueBegin));
    out.append(encoded);
    out.append(text.substr(line.contentEnd));
  } else {
    // After the section's last non-blank line, or else after the file's last line.
    std::optional<size_t> after = found.sectionLastLine;
    if (!after && !lines.empty()) after = lines.size() - 1;
    const size_t at = after ? lines[*after].end : 0;
    out.append(text.substr(0, at));
    if (after) out.append(Termination(text, lines[*after], eol));
    if (!found.sectionLastLine) {
      out.append("[").append(section).append("]").append(eol);
    }
    out.append(key).append("=").append(encoded).append(eol);
    out.append(text.substr(at));
  }
  return SaveOwnerOnly(path_, out);
}

}  // namespace gorvane
