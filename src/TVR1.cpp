// Program start: the title, the lobby window, the hidden help window, and
// the event loop.
#include <QApplication>

#include "help/THelpForm.h"
#include "lobby/TForm1.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Gorvane 1: Client"));
  // Ties the windows to the installed desktop entry: its icon in the task bar.
  QApplication::setDesktopFileName(QStringLiteral(GORVANE_APP_ID));

  gorvane::TForm1 lobby;
  gorvane::THelpForm help;
  lobby.SetHelpForm(&help);
  lobby.show();
  return QApplication::exec();
}
