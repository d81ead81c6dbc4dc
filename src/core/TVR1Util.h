// The timestamped, coloured console line shared by the lobby and game windows.
#pragma once

#include <string>
#include <string_view>

#include "core/ports.h"

namespace gorvane {

// Colour kinds passed with every console line.
inline constexpr int kBlack = 0;
inline constexpr int kRed = 1;
inline constexpr int kGreen = 2;

Rgb ColourForKind(int kind);

// "[hh:nn:ss] "
std::string FormatTimestamp(const LocalTime& time);

// Reads the clock once and adds "[hh:nn:ss] " + text in the kind's colour.
void AppendConsoleLine(ConsoleView& console, const Clock& clock, std::string_view text, int kind);

}  // namespace gorvane

namespace gorvane {

// A console with its clock: what PrintLobbyMessage and PrintMessage write to.
class Console {
 public:
  Console(ConsoleView& view, const Clock& clock) : view_(view), clock_(clock) {}
  void Print(std::string_view text, int kind) { AppendConsoleLine(view_, clock_, text, kind); }

 private:
  ConsoleView& view_;
  const Clock& clock_;
};

}  // namespace gorvane
