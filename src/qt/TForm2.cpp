// SPDX-License-Identifier: GPL-3.0-or-later
#include "qt/TForm2.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEvent>
#include <QKeyEvent>
#include <QMenuBar>

#include "qt/captions.h"
#include "qt/cp932_validator.h"
#include "qt/game_widgets.h"
#include "qt/qt_text.h"

namespace gorvane {
namespace {

// The outer size of the window and the client area of its pixel layout.
constexpr QSize kOuterSize(548, 563);
constexpr QSize kDesignSize = kOuterSize - kWindowFrame;
constexpr QSize kOuterMinimum(459, 480);
constexpr QPoint kPosition(197, 121);

QFont WindowFont() {
  // Proportional Gothic faces first, as the layout's own font is.
  return FontOf(
      {QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"), QStringLiteral("IPAPGothic"),
       QStringLiteral("VL PGothic"), QStringLiteral("Noto Sans CJK JP"), QStringLiteral("sans-serif")},
      12);
}

QFont TitleFont() {
  QFont font =
      FontOf({QStringLiteral("Times New Roman"), QStringLiteral("Liberation Serif"),
              QStringLiteral("Nimbus Roman"), QStringLiteral("DejaVu Serif"), QStringLiteral("serif")},
             32);
  font.setBold(true);
  font.setItalic(true);
  return font;
}

// A label as wide as its caption, unless a width is given.
QLabel* PlaceLabel(AnchorPanel& panel, const QString& caption, QPoint at, unsigned anchors, int width = 0) {
  auto* label = new QLabel(caption, &panel);
  const QSize hint = label->sizeHint();
  panel.Place(*label, QRect(at, QSize(width > 0 ? width : hint.width(), hint.height())), anchors);
  return label;
}

QPushButton* PlaceButton(AnchorPanel& panel, const QString& caption, QRect geometry) {
  auto* button = new QPushButton(caption, &panel);
  button->setEnabled(false);
  panel.Place(*button, geometry, kTop | kRight);
  FitCaption(*button);
  return button;
}

}  // namespace

TForm2::TForm2(LobbyLinks lobby, std::function<void()> showHelp, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      panel(new AnchorPanel(kDesignSize, this)),
      RichEdit1(new ConsoleWidget(panel)),
      console_(*RichEdit1, clock_),
      room_(std::move(lobby), console_, *this),
      showHelp_(std::move(showHelp)),
      alert_([](QWidget* window) { QApplication::alert(window); }) {
  setCentralWidget(panel);
  // The menu bar keeps the system's font; the controls use the window's.
  panel->setFont(WindowFont());
  CreateMenu();
  CreateControls();
  ConnectInput();

  SetOuterSizes(*this, kOuterSize, kOuterMinimum);
  move(kPosition);

  Redraw(kAll);
  MemberList->setFocus();
}

TForm2::~TForm2() {
  // The controls go after the room: nothing they report may reach it then.
  HandList->viewport()->removeEventFilter(this);
  disconnect(HandList, nullptr, this, nullptr);
  disconnect(MemberList, nullptr, this, nullptr);
}

void TForm2::CreateMenu() {
  Party1 = menuBar()->addMenu(QStringLiteral("パーティ(&P)"));
  R1 = Party1->addAction(QStringLiteral("メンバリスト更新(&R)"));
  S1 = Party1->addAction(QStringLiteral("ゲーム開始(&S)"));
  N1 = Party1->addSeparator();
  B1 = Party1->addAction(QStringLiteral("脱退(&B)"));
  Help1 = menuBar()->addAction(QStringLiteral("ヘルプ(&H)"));
}

void TForm2::CreateControls() {
  Label6 = PlaceLabel(*panel, QStringLiteral("パーティメンバー"), {12, 8}, kLeft | kTop);
  MemberList = new QTreeWidget(panel);
  SetUpMemberList(*MemberList);
  ImageList1 = MakeRowIcons();
  panel->Place(*MemberList, QRect(8, 24, 348, 118), kLeft | kTop | kRight);

  Label2 = PlaceLabel(*panel, QStringLiteral("手札"), {12, 152}, kLeft | kTop);
  HandList = new QListWidget(panel);
  // A plain click toggles a row.
  HandList->setSelectionMode(QAbstractItemView::MultiSelection);
  HandList->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  // Its rows are cut at the edge too, and it scrolls sideways as far as its
  // longest row reaches.
  HandList->setTextElideMode(Qt::ElideNone);
  panel->Place(*HandList, QRect(8, 168, 188, 121), kLeft | kTop | kRight);

  Label1 = PlaceLabel(*panel, QStringLiteral("チャームしたモンスター"), {209, 152}, kTop | kRight);
  CharmBox = new QListWidget(panel);
  ClipRows(*CharmBox);
  panel->Place(*CharmBox, QRect(203, 168, 153, 20), kTop | kRight);

  Label7 = new QLabel(QStringLiteral("Gorvane"), panel);
  Label7->setFont(TitleFont());
  Label7->setAlignment(Qt::AlignCenter);
  Label7->setWordWrap(true);
  QPalette navy = Label7->palette();
  navy.setColor(QPalette::WindowText, QColor(0, 0, 128));
  Label7->setPalette(navy);
  panel->Place(*Label7, QRect(219, 200, 116, 72), kTop | kRight);
  FitCaption(*Label7);

  Label4 = PlaceLabel(*panel, QStringLiteral("回廊"), {369, 8}, kTop | kRight);
  CorridorList = new QListWidget(panel);
  CorridorList->setFocusPolicy(Qt::ClickFocus);
  ClipRows(*CorridorList);
  panel->Place(*CorridorList, QRect(363, 24, 73, 209), kTop | kRight);
  // Wide enough for the largest distance the caption shows.
  Label3 = PlaceLabel(*panel, QString(), {444, 224}, kTop | kRight, kDesignSize.width() - 444);
  Label5 = PlaceLabel(*panel, QStringLiteral("モンスター"), {369, 248}, kTop | kRight);
  Edit2 = new QLineEdit(panel);
  Edit2->setReadOnly(true);
  Edit2->setFocusPolicy(Qt::ClickFocus);
  panel->Place(*Edit2, QRect(363, 264, 157, 20), kTop | kRight);

  Button1 = PlaceButton(*panel, QStringLiteral("ドロー"), QRect(442, 23, 90, 42));
  Button3 = PlaceButton(*panel, QStringLiteral("プレイ"), QRect(442, 72, 90, 41));
  Button4 = PlaceButton(*panel, QStringLiteral("パイル（捨てる）"), QRect(442, 120, 90, 41));
  Button2 = PlaceButton(*panel, QStringLiteral("ターン終了"), QRect(442, 168, 90, 41));

  Edit1 = new QLineEdit(panel);
  Edit1->setValidator(new Cp932Validator(Edit1));
  Edit1->installEventFilter(this);
  panel->Place(*Edit1, QRect(8, 296, 527, 20), kLeft | kTop | kRight);
  RichEdit1->setFont(ConsoleFont());
  panel->Place(*RichEdit1, QRect(8, 320, 527, 180), kLeft | kTop | kRight | kBottom);

  QWidget* const tabOrder[] = {Button1, Button3, Button4, Button2, MemberList, HandList, CharmBox, Edit1};
  for (size_t i = 1; i < std::size(tabOrder); ++i) QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
}

void TForm2::ConnectInput() {
  connect(HandList, &QListWidget::itemSelectionChanged, this, [this] {
    for (int r = 0; r < HandList->count(); ++r) {
      room_.HandListSelect(static_cast<size_t>(r), HandList->item(r)->isSelected());
    }
  });
  connect(MemberList, &QTreeWidget::itemSelectionChanged, this, [this] {
    const QList<QTreeWidgetItem*> selected = MemberList->selectedItems();
    if (selected.isEmpty()) {
      room_.MemberListSelect(std::nullopt);
    } else {
      room_.MemberListSelect(static_cast<size_t>(MemberList->indexOfTopLevelItem(selected.front())));
    }
  });
  connect(CharmBox, &QListWidget::itemSelectionChanged, this, [this] {
    for (int r = 0; r < CharmBox->count(); ++r) {
      room_.CharmBoxSelect(static_cast<size_t>(r), CharmBox->item(r)->isSelected());
    }
  });
  connect(Edit1, &QLineEdit::textEdited, this, [this](const QString& text) {
    if (auto bytes = FromQString(text)) room_.Edit1Change(std::move(*bytes));
  });
  connect(Button1, &QPushButton::clicked, this, [this] { room_.Button1Click(); });
  connect(Button2, &QPushButton::clicked, this, [this] { room_.Button2Click(); });
  connect(Button3, &QPushButton::clicked, this, [this] { room_.Button3Click(); });
  connect(Button4, &QPushButton::clicked, this, [this] { room_.Button4Click(); });
  connect(R1, &QAction::triggered, this, [this] { room_.R1Click(); });
  connect(S1, &QAction::triggered, this, [this] { room_.S1Click(); });
  connect(B1, &QAction::triggered, this, &QWidget::close);
  connect(Help1, &QAction::triggered, this, [this] {
    if (showHelp_) showHelp_();
  });
  // The hand list's extent follows its width while a game is on.
  HandList->viewport()->installEventFilter(this);
}

void TForm2::closeEvent(QCloseEvent* event) {
  // Leaving the party hides the window; it stays until the lobby goes.
  room_.FormClose();
  event->accept();
}

bool TForm2::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Edit1 && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    // Either Enter key, whatever modifiers are held.
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      room_.Edit1KeyDown(kEnterKey);
      return !GameRoom::Edit1KeyPress(kEnterKey);
    }
  }
  if (event->type() == QEvent::Resize && watched == HandList->viewport() && room_.state().gameRunning) {
    handExtent_ = ApplyHandExtent(*HandList);
  }
  return QMainWindow::eventFilter(watched, event);
}

// A player who is looking at this window sees the turn already; one reading
// elsewhere gets a flashing task-bar entry or an urgency hint.
void TForm2::TurnAlert() {
  if (!isActiveWindow()) alert_(this);
}

void TForm2::Redraw(unsigned parts) {
  const GameScreen& screen = room_.screen();
  if (parts & kMemberList)
    DrawMemberList(*MemberList, screen.memberList.rows(), ImageList1, screen.memberSelection);
  if (parts & kHandList) {
    DrawRows(*HandList, screen.handList);
    handExtent_ = ApplyHandExtent(*HandList);
  }
  if (parts & kCorridorList) DrawRows(*CorridorList, screen.corridorList);
  if (parts & kCharmBox) DrawRows(*CharmBox, screen.charmBox);
  if (parts & kMonster) Edit2->setText(ToQString(screen.monsterText));
  if (parts & kDistance) Label3->setText(ToQString(screen.distanceCaption));
  if (parts & kButtons) {
    Button1->setEnabled(screen.drawEnabled);
    Button3->setEnabled(screen.playEnabled);
    Button4->setEnabled(screen.pileEnabled);
    Button2->setEnabled(screen.turnEndEnabled);
  }
  if (parts & kStartItem) S1->setEnabled(screen.startEnabled);
  if (parts & kChatLine) Edit1->setText(ToQString(room_.edit1Text()));
}

}  // namespace gorvane
