// The client program: the Qt application, its windows and its event loop.
#pragma once

#include <QIcon>
#include <QString>

namespace gorvane {

// The icon of the windows: the desktop's icon theme's, or else the SVG an
// installation holds, found from clientDir, the folder of the client program.
QIcon ApplicationIcon(const QString& clientDir);

// Runs the client until its lobby window closes; returns the exit code.
int RunClient(int argc, char** argv);

}  // namespace gorvane
