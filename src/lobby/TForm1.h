// The lobby window: the main window of the client.
#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <string_view>

#include "core/TVR1Util.h"
#include "core/anchors.h"
#include "core/console_widgets.h"
#include "core/system_clock.h"

namespace gorvane {

class TForm1 : public QMainWindow {
 public:
  explicit TForm1(QWidget* parent = nullptr);

  void PrintLobbyMessage(std::string_view cp932Text, int kind) { lobbyConsole_.Print(cp932Text, kind); }
  DebugLog& debugLog() { return debugLog_; }

  // Controls keep the names the rest of the program and its tests use.
  AnchorPanel* panel;
  QPlainTextEdit* RichEdit1;
  QLabel* Label1;
  QPlainTextEdit* Memo2;

 private:
  SystemClock clock_;
  RichConsoleView consoleView_;
  DebugLogView debugLog_;
  Console lobbyConsole_;
};

}  // namespace gorvane
