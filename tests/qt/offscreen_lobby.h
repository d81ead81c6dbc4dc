// SPDX-License-Identifier: GPL-3.0-or-later
// The real lobby window, offscreen, in a working directory of its own, with
// a fake connection and error box that record what the window does.
#pragma once

#include <string>

#include "../spine/fakes.h"
#include "qt/TForm1.h"
#include "view_checks.h"

namespace gorvane::testing {

struct OffscreenLobby {
  explicit OffscreenLobby(const std::string& name) : temp(name) {}

  InTempDirectory temp;
  FakeErrorBox errors;
  FakeTransport transport;
  TForm1 form{&errors, &transport};
};

}  // namespace gorvane::testing
