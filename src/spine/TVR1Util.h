// SPDX-License-Identifier: GPL-3.0-or-later
// The timestamped, coloured console line shared by the lobby and game windows.
#pragma once

#include <string>
#include <string_view>

#include "spine/ports.h"

namespace gorvane {

// Colour kinds passed with every console line.
inline constexpr int kBlack = 0;
inline constexpr int kRed = 1;
inline constexpr int kGreen = 2;

Rgb ColourForKind(int kind);

// "[hh:nn:ss] "
std::string FormatTimestamp(const LocalTime& time);

}  // namespace gorvane

namespace gorvane {

// A console with its clock: what PrintLobbyMessage and PrintMessage write to.
// The clock is read for every line; the timestamp text is made again only
// when the second has changed.
class Console {
 public:
  Console(ConsoleView& view, const Clock& clock) : view_(view), clock_(clock) {}
  // Reads the clock once and adds "[hh:nn:ss] " + text in the kind's colour.
  void AppendConsoleLine(std::string_view text, int kind);

 private:
  ConsoleView& view_;
  const Clock& clock_;
  LocalTime stampTime_;
  std::string line_;  // the timestamp, then the text of the line being added
  size_t stampLength_ = 0;
};

}  // namespace gorvane
