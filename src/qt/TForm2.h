// SPDX-License-Identifier: GPL-3.0-or-later
// A party's game window. It draws the game room's state and hands the
// user's input to it. Closing it hides it; it lives as long as the lobby.
#pragma once

#include <QAction>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>
#include <array>
#include <functional>

#include "client/game_room.h"
#include "qt/anchors.h"
#include "qt/console_widgets.h"
#include "spine/TVR1Util.h"
#include "spine/system_clock.h"

namespace gorvane {

class TForm2 : public QMainWindow, private GameView {
 public:
  TForm2(LobbyLinks lobby, std::function<void()> showHelp, QWidget* parent);
  ~TForm2() override;

  GameRoom& room() { return room_; }
  // The hand list's horizontal scroll extent, as last computed.
  int handExtent() const { return handExtent_; }
  // How the window asks the desktop for attention when the player's turn
  // begins elsewhere: QApplication::alert, unless a test watches it.
  void SetAlert(std::function<void(QWidget*)> alert) { alert_ = std::move(alert); }

  // Controls keep the names the rest of the program and its tests use.
  AnchorPanel* panel;
  ConsoleWidget* RichEdit1;
  QLabel* Label6;
  QTreeWidget* MemberList;
  QLabel* Label2;
  QListWidget* HandList;
  QLabel* Label1;
  QListWidget* CharmBox;
  QLabel* Label7;
  QLabel* Label4;
  QListWidget* CorridorList;
  QLabel* Label3;
  QLabel* Label5;
  QLineEdit* Edit2;
  QPushButton* Button1;
  QPushButton* Button3;
  QPushButton* Button4;
  QPushButton* Button2;
  QLineEdit* Edit1;
  QMenu* Party1;
  QAction* R1;
  QAction* S1;
  QAction* N1;
  QAction* B1;
  QAction* Help1;
  std::array<QIcon, 2> ImageList1;

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void CreateMenu();
  void ConnectInput();
  // GameView.
  void Redraw(unsigned parts) override;
  void TurnAlert() override;

  SystemClock clock_;
  Console console_;
  int handExtent_ = 0;
  GameRoom room_;
  std::function<void()> showHelp_;
  std::function<void(QWidget*)> alert_;
};

}  // namespace gorvane
