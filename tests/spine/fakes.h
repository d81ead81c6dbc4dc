// SPDX-License-Identifier: GPL-3.0-or-later
// Fakes of the logic's ports, recording what the logic did.
#pragma once

#include <string>
#include <vector>

#include "spine/ports.h"

namespace gorvane::testing {

struct FakeTransport : Transport {
  bool isActive = false;
  bool isConnected = false;
  bool startSucceeds = true;
  int starts = 0;
  int closes = 0;
  std::string wire;  // every byte sent, in order
  std::vector<std::string> sends;

  bool active() const override { return isActive; }
  bool connected() const override { return isConnected; }
  bool Start(const std::string&, uint16_t) override {
    ++starts;
    return startSucceeds;
  }
  void Close() override { ++closes; }
  void Send(std::string_view bytes) override {
    wire.append(bytes);
    sends.emplace_back(bytes);
  }
};

struct FakeDebugLog : DebugLog {
  std::vector<std::string> lines;
  void AppendLine(std::string_view line) override { lines.emplace_back(line); }
};

struct FakeErrorBox : ErrorBox {
  std::vector<std::string> shown;
  void ShowError(std::string_view text) override { shown.emplace_back(text); }
};

struct FakeConsole : ConsoleView {
  struct Line {
    std::string text;
    Rgb colour;
  };
  std::vector<Line> lines;
  void AddLine(std::string_view line, Rgb colour) override { lines.push_back({std::string(line), colour}); }
};

struct FixedClock : Clock {
  LocalTime time{9, 5, 3};
  LocalTime Now() const override { return time; }
};

}  // namespace gorvane::testing
