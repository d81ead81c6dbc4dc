// Program start of the client.
#include "qt/client_app.h"
#include "qt/launch_error.h"

int main(int argc, char** argv) {
  // The launcher's way to show why it could not start the game.
  if (gorvane::WantsLaunchError(argc, argv)) return gorvane::ShowLaunchError(argc, argv);
  return gorvane::RunClient(argc, argv);
}
