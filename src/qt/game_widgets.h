// SPDX-License-Identifier: GPL-3.0-or-later
// Drawing the game window's lists from the logic's screen state.
#pragma once

#include <QIcon>
#include <QListWidget>
#include <QTreeWidget>
#include <array>
#include <optional>
#include <vector>

#include "client/game_screen.h"

namespace gorvane {

// The member list's two 11 x 11 row icons: blank, and the blue triangle of
// the member whose turn it is.
std::array<QIcon, 2> MakeRowIcons();

// The report-style member list: six columns, headings, widths, alignments.
void SetUpMemberList(QTreeWidget& list);
void DrawMemberList(QTreeWidget& list, const std::vector<MemberRow>& rows, const std::array<QIcon, 2>& icons,
                    std::optional<size_t> selection);

// Replaces a list box's rows and selection without reporting the change as
// the user's.
void DrawRows(QListWidget& list, const ListRows& rows);

// Sets the hand list's horizontal scroll extent to its widest row's text
// width plus 3 pixels, at least its client width, and returns it.
int ApplyHandExtent(QListWidget& list);

}  // namespace gorvane
