// SPDX-License-Identifier: GPL-3.0-or-later
#include "qt/THelpForm.h"

#include <QVBoxLayout>

#include "qt/help_text.h"

namespace gorvane {

THelpForm::THelpForm(QWidget* parent) : QWidget(parent, Qt::Window), Memo1(new QPlainTextEdit(this)) {
  setWindowTitle(QStringLiteral("ヘルプ"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addWidget(Memo1);
  Memo1->setReadOnly(true);
  Memo1->setPlainText(QString::fromUtf8(kHelpText));
  resize(600, 520);
}

void THelpForm::ShowOrRaise() {
  show();
  raise();
  activateWindow();
}

}  // namespace gorvane
