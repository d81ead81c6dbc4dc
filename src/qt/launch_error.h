// A launcher's failure shown in a window: started from the menu, a player
// has no terminal to read it in.
#pragma once

namespace gorvane {

// Whether the command line asks for the window: --launch-error TEXT.
bool WantsLaunchError(int argc, char** argv);

// Shows TEXT (UTF-8) until it is clicked away; returns the exit code.
int ShowLaunchError(int argc, char** argv);

}  // namespace gorvane
