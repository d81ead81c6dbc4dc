// Program start of the client.
#include "qt/client_app.h"

int main(int argc, char** argv) { return gorvane::RunClient(argc, argv); }
