// SPDX-License-Identifier: GPL-3.0-or-later
#include "bot/headless_ports.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "spine/sjis.h"

namespace gorvane::bot {

void SleepingPause::Wait(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void WriteUtf8Line(std::FILE* stream, std::string_view cp932Line) {
  std::string line = sjis::ToUtf8(cp932Line);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stream);
  // Someone may be reading the other end of a pipe line by line.
  std::fflush(stream);
}

}  // namespace gorvane::bot
