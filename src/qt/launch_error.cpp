#include "qt/launch_error.h"

#include <QApplication>
#include <QMessageBox>
#include <cstring>

namespace gorvane {

bool WantsLaunchError(int argc, char** argv) {
  return argc == 3 && std::strcmp(argv[1], "--launch-error") == 0;
}

int ShowLaunchError(int argc, char** argv) {
  const QString text = QString::fromUtf8(argv[2]);
  QApplication application(argc, argv);
  QApplication::setDesktopFileName(QStringLiteral(GORVANE_APP_ID));
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Gorvane"),
                  QStringLiteral("Gorvaneを起動できませんでした。"), QMessageBox::Ok);
  box.setInformativeText(text);
  box.exec();
  return 1;
}

}  // namespace gorvane
