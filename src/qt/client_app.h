// SPDX-License-Identifier: GPL-3.0-or-later
// The client program: the Qt application, its windows and its event loop.
#pragma once

#include <QIcon>
#include <QString>
#include <QStringList>
#include <optional>

namespace gorvane {

// The icon of the windows: the desktop's icon theme's, or else the SVG an
// installation holds, found from clientDir, the folder of the client program.
QIcon ApplicationIcon(const QString& clientDir);

// What the practice launcher tells its client (--practice-at ADDRESS
// --own-settings FILE): where the practice server is, and the player's own
// settings, which a name changed in the practice goes back to.
struct PracticeSeat {
  QString address;
  QString ownSettings;
};
// Nothing unless both are given, each with a value.
std::optional<PracticeSeat> PracticeFrom(const QStringList& arguments);

// The lobby's caption; a practice says it is one, and where, so that two at
// once can be told apart.
QString LobbyCaption(const std::optional<PracticeSeat>& practice);

// Runs the client until its lobby window closes; returns the exit code.
int RunClient(int argc, char** argv);

}  // namespace gorvane
