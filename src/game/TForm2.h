// A party's game window. Closing it hides it; it lives as long as the lobby.
#pragma once

#include <QMainWindow>
#include <QPlainTextEdit>

#include "core/TVR1Util.h"
#include "core/anchors.h"
#include "core/console_widgets.h"
#include "core/system_clock.h"
#include "game/game_room.h"

namespace gorvane {

class TForm2 : public QMainWindow {
 public:
  TForm2(CommandSink& commands, QWidget* lobby);

  GameRoom& room() { return room_; }

  AnchorPanel* panel;
  QPlainTextEdit* RichEdit1;

 private:
  SystemClock clock_;
  RichConsoleView consoleView_;
  Console console_;
  GameRoom room_;
};

}  // namespace gorvane
