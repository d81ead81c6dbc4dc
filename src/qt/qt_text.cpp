// SPDX-License-Identifier: GPL-3.0-or-later
#include "qt/qt_text.h"

#include <algorithm>

#include "spine/sjis.h"

namespace gorvane {

QString ToQString(std::string_view cp932) {
  // Most texts are plain ASCII: they need no converter at all.
  if (std::all_of(cp932.begin(), cp932.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return QString::fromLatin1(cp932.data(), static_cast<qsizetype>(cp932.size()));
  }
  const std::string utf8 = sjis::ToUtf8(cp932);
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::optional<std::string> FromQString(const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  return sjis::FromUtf8(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
}

}  // namespace gorvane
