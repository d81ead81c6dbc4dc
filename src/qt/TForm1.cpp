// SPDX-License-Identifier: GPL-3.0-or-later
#include "qt/TForm1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMenuBar>
#include <filesystem>

#include "qt/TForm2.h"
#include "qt/THelpForm.h"
#include "qt/TPropertyForm.h"
#include "qt/cp932_validator.h"
#include "qt/placement.h"
#include "qt/qt_text.h"

namespace gorvane {
namespace {

// The outer size of the window and the client area of its pixel layout.
// The controls that stretch are one pixel wider than the client area, as
// they were drawn.
constexpr QSize kOuterSize(368, 576);
constexpr QSize kDesignSize = kOuterSize - kWindowFrame;
constexpr QSize kOuterMinimum(368, 507);

}  // namespace

std::string TForm1::SettingsPath() {
  // Fixed at start-up: a later change of directory does not move the file.
  return (std::filesystem::current_path() / "tvr1.ini").string();
}

std::string TForm1::ServerKeysPath() {
  // Beside the settings, fixed with them.
  return (std::filesystem::current_path() / kServerKeysFile).string();
}

TForm1::TForm1(ErrorBox* errorBox, Transport* transport)
    : panel(new AnchorPanel(kDesignSize, this)),
      RichEdit1(new ConsoleWidget(panel)),
      Label2(new QLabel(panel)),
      Edit2(new QLineEdit(panel)),
      Label3(new QLabel(QStringLiteral("参加者一覧"), panel)),
      Label4(new QLabel(QStringLiteral("パーティリスト"), panel)),
      Label1(new QLabel(QStringLiteral("システムログ領域 (for Debugging)"), panel)),
      Memo2(new ConsoleWidget(panel)),
      lobbyConsole_(*RichEdit1, clock_),
      messageBox_(this),
      link_(ServerKeysPath(), this),
      ClientSocket1(&link_.socket()),
      lobby_({transport ? *transport : link_.transport(), *Memo2, errorBox ? *errorBox : messageBox_,
              lobbyConsole_, pause_, *this},
             SettingsPath()) {
  link_.Attach(lobby_);
  setWindowTitle(QStringLiteral("［ロビー］Gorvane"));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setCentralWidget(panel);

  N1 = menuBar()->addMenu(QStringLiteral("接続(&C)"));
  S1 = N1->addAction(QStringLiteral("開始(&S)"), [this] { lobby_.Button1Click(); });
  C1 = N1->addAction(QStringLiteral("切断(&C)"), [this] { lobby_.C1Click(); });
  N2 = N1->addSeparator();
  Exit1 = N1->addAction(QStringLiteral("終了(&X)"), [this] {
    lobby_.Exit1Click();
    closed_ = true;
    close();
  });
  L1 = menuBar()->addMenu(QStringLiteral("ロビー(&L)"));
  R1 = L1->addAction(QStringLiteral("メンバーリスト更新(&R)"), [this] { lobby_.R1Click(); });
  G1 = L1->addAction(QStringLiteral("グループリスト更新(&G)"), [this] { lobby_.G1Click(); });
  P1 = L1->addAction(QStringLiteral("パーティ作成(&P)"), [this] { lobby_.P1Click(); });
  J1 = L1->addAction(QStringLiteral("パーティ参加(&J)"), [this] { lobby_.J1Click(); });
  Property1 = menuBar()->addAction(QStringLiteral("プロパティ(&P)"), [this] { Property1Click(); });
  Help1 = menuBar()->addAction(QStringLiteral("ヘルプ(&H)"), [this] { Help1Click(); });

  RichEdit1->setFont(ConsoleFont());
  panel->Place(*RichEdit1, QRect(0, 0, 361, 241), kLeft | kTop | kRight);
  Label2->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  panel->Place(*Label2, QRect(0, 243, 361, 16), kLeft | kTop | kRight);

  Edit2->setValidator(new Cp932Validator(Edit2));
  Edit2->installEventFilter(this);
  connect(Edit2, &QLineEdit::textEdited, this, [this](const QString& text) {
    if (auto bytes = FromQString(text)) lobby_.Edit2Change(std::move(*bytes));
  });
  panel->Place(*Edit2, QRect(0, 261, 361, 20), kLeft | kTop | kRight);

  ListBox1 = new ListBoxView(lobby_.lists().ListBox1(), panel);
  ListBox1->SetOnDoubleClick([this] { lobby_.ListBox1DblClick(); });
  ListBox2 = new ListBoxView(lobby_.lists().ListBox2(), panel);
  panel->Place(*Label3, QRect(0, 285, 120, 14), kLeft | kTop);
  panel->Place(*ListBox1, QRect(0, 300, 120, 128), kLeft | kTop);
  panel->Place(*Label4, QRect(124, 285, 237, 14), kLeft | kTop);
  panel->Place(*ListBox2, QRect(124, 300, 237, 128), kLeft | kTop | kRight);
  // The chat line has the focus when the window opens; Tab goes on to the
  // lists and skips the console and the debug log.
  setTabOrder(Edit2, ListBox1);
  setTabOrder(ListBox1, ListBox2);
  Edit2->setFocus();
  panel->Place(*Label1, QRect(0, 432, 361, 16), kLeft | kTop);
  Memo2->setFont(DebugLogFont());
  panel->Place(*Memo2, QRect(0, 450, 361, 72), kLeft | kTop | kRight | kBottom);

  SetOuterSizes(*this, kOuterSize, kOuterMinimum);
  CentreOnScreenByFrame(*this);

  ShowOnline(false);
  lobby_.FormCreate();
}

TForm1::~TForm1() {
  // The lists live in the logic, which goes before the widgets drawing them.
  ListBox1->Detach();
  ListBox2->Detach();
}

void TForm1::Property1Click() {
  TPropertyForm dialog(lobby_, this);
  if (dialog.exec() == QDialog::Accepted) lobby_.Property1Closed();
}

void TForm1::Help1Click() {
  if (help_ != nullptr) help_->ShowOrRaise();
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (!closed_) lobby_.FormClose();
  closed_ = true;
  event->accept();
  // Game windows and the help window go with the lobby without closing
  // themselves (quit() would send them close events of their own).
  QApplication::exit(0);
}

void TForm1::ShowOnline(bool online) {
  S1->setEnabled(!online);
  C1->setEnabled(online);
  L1->setEnabled(online);
}

void TForm1::ShowLabel2(std::string_view cp932Text) { Label2->setText(ToQString(cp932Text)); }

void TForm1::ShowEdit2(std::string_view cp932Text) { Edit2->setText(ToQString(cp932Text)); }

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Edit2 && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    // Either Enter key, whatever modifiers are held.
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      lobby_.Edit2KeyDown(kEnterKey);
      return !Lobby::Edit2KeyPress(kEnterKey);
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

GameWindow& TForm1::OpenGameWindow(std::string_view cp932Caption) {
  auto* window = new TForm2(
      {lobby_, *Memo2, lobby_.cardCatalogue(), [this] { return lobby_.myId(); }}, [this] { Help1Click(); },
      this);
  window->show();
  window->setWindowTitle(ToQString(cp932Caption));
  return window->room();
}

}  // namespace gorvane
