// SPDX-License-Identifier: GPL-3.0-or-later
#include "spine/codec.h"

#include <algorithm>

namespace gorvane {
namespace {

constexpr char kQuote = '"';

bool NeedsQuotes(std::string_view field) {
  for (unsigned char c : field) {
    if (c <= 0x20 || c == kQuote || c == ',') return true;
  }
  return false;
}

// JoinCommaText of strings or of views.
template <typename List>
std::string Join(const List& fields) {
  if (fields.size() == 1 && fields.front().empty()) return "\"\"";
  size_t size = fields.size();
  for (const std::string_view field : fields) size += field.size() + 2;
  std::string out;
  out.reserve(size);
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += ',';
    const std::string_view field = fields[i];
    if (!NeedsQuotes(field)) {
      out += field;
      continue;
    }
    out += kQuote;
    for (char c : field) {
      if (c == kQuote) out += kQuote;
      out += c;
    }
    out += kQuote;
  }
  return out;
}

}  // namespace

Fields SplitDelimitedText(std::string_view text, char delimiter) {
  Fields fields;
  // One allocation for the list in the common case: every field ends at a
  // delimiter.
  fields.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), delimiter)) + 1);
  const size_t n = text.size();
  size_t p = 0;
  auto skipBlanks = [&] {
    while (p < n && SeparatesFields(text[p])) ++p;
  };
  skipBlanks();
  while (p < n) {
    if (text[p] == kQuote) {
      std::string field;
      ++p;
      bool closed = false;
      while (p < n) {
        const size_t q = text.find(kQuote, p);
        if (q == std::string_view::npos) break;
        field.append(text, p, q - p);
        if (q + 1 < n && text[q + 1] == kQuote) {
          field += kQuote;
          p = q + 2;
          continue;
        }
        p = q + 1;
        closed = true;
        break;
      }
      if (!closed) {
        // No closing quote: the field runs to the end of the text less its
        // last byte, counted from where the content started.
        field.append(text.substr(p));
        if (!field.empty()) field.pop_back();
        p = n;
      }
      fields.push_back(std::move(field));
    } else {
      const size_t start = p;
      while (p < n && !SeparatesFields(text[p]) && text[p] != delimiter) ++p;
      fields.emplace_back(text.substr(start, p - start));
    }
    skipBlanks();
    if (p < n && text[p] == delimiter) {
      if (p == n - 1) fields.emplace_back();
      ++p;
      skipBlanks();
    }
  }
  return fields;
}

Fields SplitCommaText(std::string_view text) { return SplitDelimitedText(text, ','); }

std::string JoinCommaText(const Fields& fields) { return Join(fields); }

std::string JoinCommaText(FieldList fields) { return Join(fields); }

std::string_view TextAfterFirstSpace(std::string_view text) {
  const size_t blank = text.find(' ');
  return blank == std::string_view::npos ? text : text.substr(blank + 1);
}

}  // namespace gorvane
