#include "qt/qt_ports.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "qt/qt_text.h"

namespace gorvane {

void MessageErrorBox::ShowError(std::string_view cp932Text) {
  QMessageBox box(QMessageBox::Critical, QApplication::applicationName(), ToQString(cp932Text),
                  QMessageBox::Ok, parent_);
  box.exec();
}

void BlockingPause::Wait(int milliseconds) { QThread::msleep(static_cast<unsigned long>(milliseconds)); }

}  // namespace gorvane
