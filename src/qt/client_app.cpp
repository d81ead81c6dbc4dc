// The client program: the title, the lobby window, the hidden help window,
// and the event loop.
#include "qt/client_app.h"

#include <QApplication>

#include "qt/TForm1.h"
#include "qt/THelpForm.h"

namespace gorvane {

int RunClient(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Gorvane 1: Client"));
  // Ties the windows to the installed desktop entry: its icon in the task bar.
  QApplication::setDesktopFileName(QStringLiteral(GORVANE_APP_ID));

  TForm1 lobby;
  THelpForm help;
  lobby.SetHelpForm(&help);
  lobby.show();
  return QApplication::exec();
}

}  // namespace gorvane
