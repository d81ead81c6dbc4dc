#include "qt/qt_ports.h"

#include <QMessageBox>
#include <QThread>

#include "qt/qt_text.h"

namespace gorvane {

void MessageErrorBox::ShowError(std::string_view cp932Text) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Gorvane 1: Client"), ToQString(cp932Text),
                  QMessageBox::Ok, parent_);
  box.exec();
}

void BlockingPause::Wait(int milliseconds) { QThread::msleep(static_cast<unsigned long>(milliseconds)); }

}  // namespace gorvane
