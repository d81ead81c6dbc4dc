// The client program: the Qt application, its windows and its event loop.
#pragma once

namespace gorvane {

// Runs the client until its lobby window closes; returns the exit code.
int RunClient(int argc, char** argv);

}  // namespace gorvane
