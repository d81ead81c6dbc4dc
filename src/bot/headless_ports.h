// SPDX-License-Identifier: GPL-3.0-or-later
// The ports of a client without windows: views that draw nothing, consoles
// whose lines go wherever the player wants them, and the pauses.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "client/game_screen.h"
#include "spine/ports.h"

namespace gorvane::bot {

// The game window's redraws: there is no window.
class NullGameView : public GameView {
 public:
  void Redraw(unsigned) override {}
};

// A console, lobby or game: each finished line ("[hh:nn:ss] " and the text,
// code page 932) goes to the sink, if any. Colours are not kept.
class LineConsoleView : public ConsoleView {
 public:
  using Sink = std::function<void(std::string_view cp932Line)>;
  explicit LineConsoleView(const Sink& sink) : sink_(sink) {}
  void AddLine(std::string_view cp932Line, Rgb) override {
    if (sink_) sink_(cp932Line);
  }

 private:
  const Sink& sink_;
};

class SilentDebugLog : public DebugLog {
 public:
  void AppendLine(std::string_view) override {}
  void AppendLines(const std::vector<std::string>&) override {}
};

// No box to click away: the text goes to the sink and the player goes on.
class LineErrorBox : public ErrorBox {
 public:
  explicit LineErrorBox(const LineConsoleView::Sink& sink) : sink_(sink) {}
  void ShowError(std::string_view cp932Text) override {
    if (sink_) sink_(cp932Text);
  }

 private:
  const LineConsoleView::Sink& sink_;
};

// The client's blocking pause, as it is.
class SleepingPause : public Pause {
 public:
  void Wait(int milliseconds) override;
};

// For tests and measurements: the pause taken out.
class NoPause : public Pause {
 public:
  void Wait(int) override {}
};

// Writes a code page 932 line to a stream as UTF-8 with a line break, at once.
void WriteUtf8Line(std::FILE* stream, std::string_view cp932Line);

}  // namespace gorvane::bot
