// SPDX-License-Identifier: GPL-3.0-or-later
// The lobby window: the main window of the client. It draws the lobby's
// state and hands the user's commands and the socket's events to the logic.
#pragma once

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <memory>
#include <string>

#include "client/lobby.h"
#include "qt/anchors.h"
#include "qt/console_widgets.h"
#include "qt/list_box_view.h"
#include "qt/qt_ports.h"
#include "qt/server_link.h"
#include "qt/socket_transport.h"
#include "spine/TVR1Util.h"
#include "spine/system_clock.h"

namespace gorvane {

class THelpForm;

class TForm1 : public QMainWindow, private LobbyView {
 public:
  // errorBox: where error boxes go; nullptr for the real modal box.
  // transport: the connection; nullptr for the window's own socket.
  explicit TForm1(ErrorBox* errorBox = nullptr, Transport* transport = nullptr);
  ~TForm1() override;
  void SetHelpForm(THelpForm* help) { help_ = help; }

  Lobby& lobby() { return lobby_; }
  void PrintLobbyMessage(std::string_view cp932Text, int kind) { lobby_.PrintLobbyMessage(cp932Text, kind); }
  DebugLog& debugLog() { return *Memo2; }

  void Property1Click();
  void Help1Click();

  // Controls keep the names the rest of the program and its tests use.
  AnchorPanel* panel;
  ConsoleWidget* RichEdit1;
  QLabel* Label2;
  QLineEdit* Edit2;
  QLabel* Label3;
  ListBoxView* ListBox1;
  QLabel* Label4;
  ListBoxView* ListBox2;
  QLabel* Label1;
  ConsoleWidget* Memo2;
  QMenu* N1;
  QAction* S1;
  QAction* C1;
  QAction* N2;
  QAction* Exit1;
  QMenu* L1;
  QAction* R1;
  QAction* G1;
  QAction* P1;
  QAction* J1;
  QAction* Property1;
  QAction* Help1;

 protected:
  void closeEvent(QCloseEvent* event) override;
  // Edit2KeyPress: Enter goes to the logic and never reaches the line.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // LobbyView.
  void ShowOnline(bool online) override;
  void ShowLabel2(std::string_view cp932Text) override;
  void ShowEdit2(std::string_view cp932Text) override;
  GameWindow& OpenGameWindow(std::string_view cp932Caption) override;

  static std::string SettingsPath();
  static std::string ServerKeysPath();

  THelpForm* help_ = nullptr;
  SystemClock clock_;
  Console lobbyConsole_;
  MessageErrorBox messageBox_;
  BlockingPause pause_;
  // The socket, ClientSocket1, and the transport above it that offers TLS to
  // the servers that have it.
  ServerLink link_;
  SocketTransport* ClientSocket1;
  Lobby lobby_;
  bool closed_ = false;
};

}  // namespace gorvane
