#include "game/TForm2.h"

namespace gorvane {
namespace {

// The client area the window's pixel layout was drawn for.
constexpr QSize kDesignSize(540, 509);

}  // namespace

TForm2::TForm2(CommandSink& commands, QWidget* lobby)
    : QMainWindow(lobby, Qt::Window),
      panel(new AnchorPanel(kDesignSize, this)),
      RichEdit1(new QPlainTextEdit(panel)),
      consoleView_(*RichEdit1),
      console_(consoleView_, clock_),
      room_(commands, console_) {
  setCentralWidget(panel);
  SetUpLogArea(*RichEdit1);
  RichEdit1->setFont(ConsoleFont());
  panel->Place(*RichEdit1, QRect(8, 320, 527, 180), kLeft | kTop | kRight | kBottom);
  resize(kDesignSize);
  move(197, 121);
}

}  // namespace gorvane
