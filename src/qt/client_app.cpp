// The client program: the title, the lobby window, the hidden help window,
// and the event loop.
#include "qt/client_app.h"

#include <QApplication>
#include <QDir>

#include "qt/TForm1.h"
#include "qt/THelpForm.h"

namespace gorvane {

QIcon ApplicationIcon(const QString& clientDir) {
  const QString installed =
      QDir(clientDir).filePath(QStringLiteral(GORVANE_CLIENT_TO_ICONS "/" GORVANE_APP_ID ".svg"));
  return QIcon::fromTheme(QStringLiteral(GORVANE_APP_ID), QIcon(installed));
}

int RunClient(int argc, char** argv) {
  QApplication application(argc, argv);
  // The windows' class (WM_CLASS "gorvane", "org.gorvane.Gorvane" on X11),
  // which the desktop entry's StartupWMClass names; Wayland takes the desktop
  // file name. Both tie the windows to the installed entry and its icon.
  QApplication::setApplicationName(QStringLiteral(GORVANE_APP_ID));
  QApplication::setDesktopFileName(QStringLiteral(GORVANE_APP_ID));
  QApplication::setWindowIcon(ApplicationIcon(QApplication::applicationDirPath()));

  TForm1 lobby;
  THelpForm help;
  lobby.SetHelpForm(&help);
  lobby.show();
  return QApplication::exec();
}

}  // namespace gorvane
