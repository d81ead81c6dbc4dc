// SPDX-License-Identifier: GPL-3.0-or-later
// How a console line is cut into rows at the width of its view. Our own
// cutting instead of the text engine's: it is linear in the length of the
// line, even for a line without a single blank, and it only measures
// characters (each once per font), so a long line costs its length once.
#pragma once

#include <QFont>
#include <QFontMetricsF>
#include <QString>
#include <QStringView>
#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace gorvane {

class RowBreaker {
 public:
  explicit RowBreaker(const QFont& font);

  // The index in text where each row starts; the first is 0. A row breaks
  // after a blank or next to a full-width character (as Japanese text
  // breaks), anywhere when there is no such place, and always after a line
  // feed. No row but one of a single character is wider than width.
  std::vector<uint32_t> Break(QStringView text, qreal width) const;

  // Where a tab stop is; rows are drawn with the same.
  qreal tabStop() const { return tabStop_; }

 private:
  qreal Advance(char16_t c) const;

  QFontMetricsF metrics_;
  qreal tabStop_;
  // Advances by UTF-16 unit, measured when first met: a page of 256 units
  // is made when one of them is.
  mutable std::array<std::unique_ptr<std::array<float, 256>>, 256> pages_;
};

}  // namespace gorvane
