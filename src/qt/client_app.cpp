// SPDX-License-Identifier: GPL-3.0-or-later
// The client program: the title, the lobby window, the hidden help window,
// and the event loop.
#include "qt/client_app.h"

#include <QApplication>
#include <QDir>

#include "client/lobby.h"
#include "qt/TForm1.h"
#include "qt/THelpForm.h"

namespace gorvane {

QIcon ApplicationIcon(const QString& clientDir) {
  const QString installed =
      QDir(clientDir).filePath(QStringLiteral(GORVANE_CLIENT_TO_ICONS "/" GORVANE_APP_ID ".svg"));
  return QIcon::fromTheme(QStringLiteral(GORVANE_APP_ID), QIcon(installed));
}

std::optional<PracticeSeat> PracticeFrom(const QStringList& arguments) {
  const auto valueOf = [&](const QString& option) {
    const qsizetype at = arguments.indexOf(option);
    return at >= 0 && at + 1 < arguments.size() ? arguments[at + 1] : QString();
  };
  PracticeSeat seat{valueOf(QStringLiteral("--practice-at")), valueOf(QStringLiteral("--own-settings"))};
  if (seat.address.isEmpty() || seat.ownSettings.isEmpty()) return std::nullopt;
  return seat;
}

QString LobbyCaption(const std::optional<PracticeSeat>& practice) {
  QString caption = QStringLiteral("［ロビー］Gorvane");
  if (practice) caption += QStringLiteral("（練習 %1:%2）").arg(practice->address).arg(kServerPort);
  return caption;
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
  if (const std::optional<PracticeSeat> practice = PracticeFrom(QApplication::arguments())) {
    lobby.setWindowTitle(LobbyCaption(practice));
    lobby.lobby().CarryNameTo(practice->ownSettings.toStdString());
  }
  THelpForm help;
  lobby.SetHelpForm(&help);
  lobby.show();
  return QApplication::exec();
}

}  // namespace gorvane
