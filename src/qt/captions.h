// SPDX-License-Identifier: GPL-3.0-or-later
// Captions that show whole in the room their control gives them. The
// layouts were drawn for fonts this platform may not have: a caption that
// is too wide in the font that stands in is drawn condensed, in the same
// font and pixel size, just enough to fit. And list rows that are cut at
// the edge, never shortened with an ellipsis.
#pragma once

#include <QAbstractItemView>
#include <QFont>
#include <QLabel>
#include <QPushButton>
#include <QString>

namespace gorvane {

// The width a button's caption is drawn (and cut) in.
int CaptionRoom(const QPushButton& button);

// The widest the caption draws in the font: its advance, or its ink where
// a slanted last letter reaches further.
int CaptionWidth(const QFont& font, const QString& text);

// The font, condensed as little as need be for the text to fit in room.
QFont CondensedToFit(QFont font, const QString& text, int room);

void FitCaption(QPushButton& button);
void FitCaption(QLabel& label);

// A list box without a horizontal extent: each row shows from its start and
// is cut at the list's edge.
void ClipRows(QAbstractItemView& list);

}  // namespace gorvane
