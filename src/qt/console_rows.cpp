// SPDX-License-Identifier: GPL-3.0-or-later
#include "qt/console_rows.h"

#include <cmath>

namespace gorvane {
namespace {

// Characters that Japanese text may break before or after: the CJK blocks,
// kana, full-width forms and the rest of the upper planes in UTF-16.
bool Wide(char16_t c) { return c >= 0x2E80 && !(c >= 0xFF61 && c <= 0xFF9F); }

bool HighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool LowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

RowBreaker::RowBreaker(const QFont& font)
    : metrics_(font), tabStop_(8 * metrics_.horizontalAdvance(QLatin1Char(' '))) {
  if (tabStop_ <= 0) tabStop_ = 8;
}

qreal RowBreaker::Advance(char16_t c) const {
  std::unique_ptr<std::array<float, 256>>& page = pages_[c >> 8];
  if (!page) {
    page = std::make_unique<std::array<float, 256>>();
    page->fill(-1);
  }
  float& advance = (*page)[c & 0xFF];
  if (advance < 0) advance = static_cast<float>(metrics_.horizontalAdvance(QChar(c)));
  return advance;
}

std::vector<uint32_t> RowBreaker::Break(QStringView text, qreal width) const {
  std::vector<uint32_t> rows{0};
  const qsizetype n = text.size();
  const char16_t* s = reinterpret_cast<const char16_t*>(text.utf16());
  qsizetype rowStart = 0;
  qsizetype lastBreak = -1;  // a row may start here; -1: no such place yet
  qreal x = 0;
  qreal xAtBreak = 0;
  for (qsizetype i = 0; i < n;) {
    const char16_t c = s[i];
    if (c == u'\n') {
      rows.push_back(static_cast<uint32_t>(i + 1));
      rowStart = i + 1;
      lastBreak = -1;
      x = 0;
      ++i;
      continue;
    }
    qsizetype units = 1;
    qreal advance = 0;
    if (c == u'\t') {
      advance = tabStop_ - std::fmod(x, tabStop_);
    } else if (HighSurrogate(c) && i + 1 < n && LowSurrogate(s[i + 1])) {
      units = 2;
      advance = metrics_.horizontalAdvance(text.sliced(i, 2).toString());
    } else {
      advance = Advance(c);
    }
    if (i > rowStart && (Wide(c) || Wide(s[i - 1]))) {
      lastBreak = i;
      xAtBreak = x;
    }
    // A blank may hang past the edge: the row breaks after it.
    while (x + advance > width && i > rowStart && c != u' ') {
      if (lastBreak > rowStart) {
        rowStart = lastBreak;
        x -= xAtBreak;
      } else {
        rowStart = i;
        x = 0;
      }
      rows.push_back(static_cast<uint32_t>(rowStart));
      lastBreak = -1;
      if (c == u'\t') advance = tabStop_ - std::fmod(x, tabStop_);
    }
    x += advance;
    i += units;
    if (c == u' ') {
      lastBreak = i;
      xAtBreak = x;
    }
  }
  return rows;
}

}  // namespace gorvane
