// SPDX-License-Identifier: GPL-3.0-or-later
#include "qt/captions.h"

#include <QFontMetrics>
#include <QStyle>
#include <QStyleOptionButton>
#include <algorithm>

namespace gorvane {

int CaptionRoom(const QPushButton& button) {
  QStyleOptionButton option;
  option.initFrom(&button);
  option.text = button.text();
  if (button.autoDefault()) option.features |= QStyleOptionButton::AutoDefaultButton;
  if (button.isDefault()) option.features |= QStyleOptionButton::DefaultButton;
  return button.style()->subElementRect(QStyle::SE_PushButtonContents, &option, &button).width();
}

int CaptionWidth(const QFont& font, const QString& text) {
  const QFontMetrics metrics(font);
  return std::max(metrics.horizontalAdvance(text), metrics.boundingRect(text).width());
}

QFont CondensedToFit(QFont font, const QString& text, int room) {
  const int width = CaptionWidth(font, text);
  if (width <= room || width <= 0) return font;
  // Glyphs narrow in proportion to the stretch; rounding may ask for one more step.
  for (int stretch = std::min(99, 100 * room / width + 1); stretch >= 50; --stretch) {
    font.setStretch(stretch);
    if (CaptionWidth(font, text) <= room) break;
  }
  return font;
}

void FitCaption(QPushButton& button) {
  // A pixel or two clear of the frame on each side, as a caption that fits
  // anyway is drawn.
  constexpr int kClearance = 2;
  button.setFont(CondensedToFit(button.font(), button.text(), CaptionRoom(button) - 2 * kClearance));
}

void FitCaption(QLabel& label) {
  label.setFont(CondensedToFit(label.font(), label.text(), label.contentsRect().width()));
}

void ClipRows(QAbstractItemView& list) {
  list.setTextElideMode(Qt::ElideNone);
  list.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

}  // namespace gorvane
