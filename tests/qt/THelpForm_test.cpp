// SPDX-License-Identifier: GPL-3.0-or-later
// The help names the menus and buttons a player meets by their captions.
#include "qt/THelpForm.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include "../client/game_fakes.h"
#include "offscreen_lobby.h"
#include "qt/TForm2.h"
#include "qt/qt_text.h"

namespace gorvane {
namespace {

// A caption as the help writes it: without its keyboard accelerator.
QString Plain(const QString& caption) { return QString(caption).remove(QRegularExpression("\\(&.\\)$")); }

TEST(HelpText, NamesEveryMenuAndButtonByItsCaption) {
  testing::OffscreenLobby seat("help");
  TForm1& lobby = seat.form;
  testing::RecordingCommands commands;
  testing::FakeDebugLog debugLog;
  TForm2 game{LobbyLinks{commands, debugLog, lobby.lobby().cardCatalogue(), [] { return 5; }}, nullptr,
              nullptr};
  const THelpForm help;
  const QString text = help.Memo1->toPlainText();

  const QString captions[] = {// The lobby's menus.
                              lobby.N1->title(), lobby.S1->text(), lobby.C1->text(), lobby.Exit1->text(),
                              lobby.L1->title(), lobby.P1->text(), lobby.J1->text(), lobby.Property1->text(),
                              // The game window's menu and buttons.
                              game.Party1->title(), game.S1->text(), game.B1->text(), game.Button1->text(),
                              game.Button3->text(), game.Button4->text(), game.Button2->text()};
  for (const QString& caption : captions) {
    EXPECT_TRUE(text.contains("「" + Plain(caption) + "」")) << Plain(caption).toStdString();
  }
  EXPECT_TRUE(text.contains("「パーティ」>「ゲーム開始」")) << "the game starts from the party window's menu";
  EXPECT_FALSE(text.contains("「捨てる」")) << "no button has that caption";

  // The roster by the game window's own word, the connection error as the lobby shows it.
  EXPECT_TRUE(text.contains(game.Label6->text()));
  EXPECT_FALSE(text.contains("メンバー一覧"));
  const size_t boxes = seat.errors.shown.size();
  lobby.lobby().ClientSocket1Error(SocketErrorKind::kConnect, "refused");
  ASSERT_EQ(seat.errors.shown.size(), boxes + 1);
  EXPECT_TRUE(text.contains("「" + ToQString(seat.errors.shown.back()) + "」"));

  // The empty deck by the line the game window prints for it, without its time.
  game.room().DrowCard(-1);
  const QStringList printed = game.RichEdit1->toPlainText().split('\n', Qt::SkipEmptyParts);
  ASSERT_FALSE(printed.isEmpty());
  const QString emptyDeck = printed.back().mid(QStringLiteral("[00:00:00] ").size());
  EXPECT_TRUE(text.contains(emptyDeck)) << emptyDeck.toStdString();
}

}  // namespace
}  // namespace gorvane
