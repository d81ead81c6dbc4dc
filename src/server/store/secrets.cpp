// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/store/secrets.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace gorvane::server {
namespace {

bool Blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX decoded; a broken sequence stays as written.
std::string Decoded(std::string_view text) {
  std::string decoded;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      decoded += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

// A span of text to replace by the mask.
struct Span {
  size_t from = 0;
  size_t to = 0;
};

// The password of a URI's user part: from "scheme://" at start, up to the
// last "@" before the path, a quote or a blank (libpq's errors quote the
// URI, and a broken IPv6 bracket leaves no path).
void UserPassword(std::string_view text, size_t start, std::vector<Span>& spans) {
  size_t end = start;
  while (end < text.size() && text[end] != '/' && text[end] != '"' && text[end] != '\'' &&
         !Blank(text[end])) {
    ++end;
  }
  const size_t at = text.substr(0, end).rfind('@');
  if (at == std::string_view::npos || at < start) return;
  const size_t colon = text.substr(0, at).find(':', start);
  if (colon != std::string_view::npos) spans.push_back({colon + 1, at});
}

// The value of every "password=" (a URI's parameter or a conninfo's key,
// blanks around "=" allowed, quoted or not).
void PasswordValues(std::string_view text, std::vector<Span>& spans) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (size_t key = lower.find("password"); key != std::string::npos; key = lower.find("password", key + 1)) {
    size_t at = key + 8;
    while (at < text.size() && text[at] == ' ') ++at;
    if (at >= text.size() || text[at] != '=') continue;
    ++at;
    while (at < text.size() && text[at] == ' ') ++at;
    size_t end = at;
    if (at < text.size() && text[at] == '\'') {
      // A quoted conninfo value, backslash escapes and all.
      for (end = at + 1; end < text.size() && text[end] != '\''; ++end) {
        if (text[end] == '\\') ++end;
      }
      spans.push_back({at + 1, std::min(end, text.size())});
      continue;
    }
    while (end < text.size() && text[end] != '&' && text[end] != '"' && text[end] != '\'' &&
           !Blank(text[end])) {
      ++end;
    }
    spans.push_back({at, end});
  }
}

std::vector<Span> SecretSpans(std::string_view text) {
  std::vector<Span> spans;
  for (const std::string_view scheme : {"postgresql://", "postgres://"}) {
    for (size_t at = text.find(scheme); at != std::string_view::npos; at = text.find(scheme, at + 1)) {
      UserPassword(text, at + scheme.size(), spans);
    }
  }
  PasswordValues(text, spans);
  return spans;
}

std::string Masked(std::string_view text, std::vector<Span> spans) {
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.from < b.from; });
  std::string masked;
  size_t copied = 0;
  for (const Span& span : spans) {
    if (span.to <= span.from || span.to <= copied) continue;
    masked.append(text.substr(copied, std::max(span.from, copied) - copied));
    masked.append(kMaskedSecret);
    copied = span.to;
  }
  masked.append(text.substr(std::min(copied, text.size())));
  return masked;
}

}  // namespace

std::string WithoutSecrets(std::string_view text, std::string_view where) {
  // First the passwords of where wherever they stand in the text, as
  // written and as libpq decodes them; the longest first, so that none is
  // left half shown.
  std::vector<std::string> secrets;
  for (const Span& span : SecretSpans(where)) {
    const std::string_view written = where.substr(span.from, span.to - span.from);
    if (written.empty()) continue;
    secrets.emplace_back(written);
    secrets.push_back(Decoded(written));
  }
  std::sort(secrets.begin(), secrets.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  std::string cleaned(text);
  for (const std::string& secret : secrets) {
    if (secret.empty()) continue;
    for (size_t at = cleaned.find(secret); at != std::string::npos;
         at = cleaned.find(secret, at + kMaskedSecret.size())) {
      cleaned.replace(at, secret.size(), kMaskedSecret);
    }
  }
  return Masked(cleaned, SecretSpans(cleaned));
}

std::string MaskedWhere(std::string_view where) { return WithoutSecrets(where, where); }

}  // namespace gorvane::server
