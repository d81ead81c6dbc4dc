// SPDX-License-Identifier: GPL-3.0-or-later
// Edits take only what code page 932 can hold, so nothing typed is altered
// on its way to the server or the settings file.
#pragma once

#include <QValidator>

#include "qt/qt_text.h"

namespace gorvane {

class Cp932Validator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override { return FromQString(input) ? Acceptable : Invalid; }
};

}  // namespace gorvane
