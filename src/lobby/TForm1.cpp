#include "lobby/TForm1.h"

namespace gorvane {
namespace {

// The client area the lobby's pixel layout was drawn for.
constexpr QSize kDesignSize(361, 528);

}  // namespace

TForm1::TForm1(QWidget* parent)
    : QMainWindow(parent),
      panel(new AnchorPanel(kDesignSize, this)),
      RichEdit1(new QPlainTextEdit(panel)),
      Label1(new QLabel(QStringLiteral("システムログ領域 (for Debugging)"), panel)),
      Memo2(new QPlainTextEdit(panel)),
      consoleView_(*RichEdit1),
      debugLog_(*Memo2),
      lobbyConsole_(consoleView_, clock_) {
  setWindowTitle(QStringLiteral("［ロビー］Gorvane"));
  setCentralWidget(panel);

  SetUpLogArea(*RichEdit1);
  RichEdit1->setFont(ConsoleFont());
  panel->Place(*RichEdit1, QRect(0, 0, 361, 241), kLeft | kTop | kRight);

  panel->Place(*Label1, QRect(0, 438, 361, 16), kLeft | kTop);

  SetUpLogArea(*Memo2);
  Memo2->setFont(FontOf({QStringLiteral("MS UI Gothic"), QStringLiteral("Noto Sans CJK JP"),
                         QStringLiteral("sans-serif")},
                        11));
  panel->Place(*Memo2, QRect(0, 456, 361, 72), kLeft | kTop | kRight | kBottom);

  resize(368, 576);
}

}  // namespace gorvane
