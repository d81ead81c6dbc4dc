// SPDX-License-Identifier: GPL-3.0-or-later
// The turn alert: the game window asks the desktop for attention when the
// player's turn begins while another window is active, and only then.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include "../client/game_fakes.h"
#include "qt/TForm2.h"

namespace gorvane {
namespace {

TEST(GameWindowAlert, AskedForOnTheOwnTurnOnlyWhileAnotherWindowIsActive) {
  testing::RecordingCommands commands;
  testing::FakeDebugLog debugLog;
  CardCatalogue catalogue;
  TForm2 form(LobbyLinks{commands, debugLog, catalogue, [] { return 5; }}, nullptr, nullptr);
  std::vector<QWidget*> alerted;
  form.SetAlert([&](QWidget* window) { alerted.push_back(window); });
  QWidget elsewhere;  // what the player reads meanwhile
  form.show();
  elsewhere.show();
  GameRoom& room = form.room();
  room.createPartyList("5:1:Me,7:0:B");

  struct Case {
    const char* what;
    bool gameWindowActive;
    std::function<void()> message;
    size_t alerts;
  };
  const Case cases[] = {
      {"S_READY, looking at the game", true, [&] { room.DispatchReady(); }, 0},
      {"S_READY, reading elsewhere", false, [&] { room.DispatchReady(); }, 1},
      {"S_OTURN, reading elsewhere", false, [&] { room.DispatchOtherTurn(7); }, 0},
      {"S_TURNEND, reading elsewhere", false, [&] { room.DispatchTurnend(5); }, 0},
  };
  for (const Case& c : cases) {
    QWidget& active = c.gameWindowActive ? static_cast<QWidget&>(form) : elsewhere;
    active.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&active)) << c.what;
    ASSERT_EQ(form.isActiveWindow(), c.gameWindowActive) << c.what;
    alerted.clear();
    c.message();
    EXPECT_EQ(alerted.size(), c.alerts) << c.what;
    for (QWidget* window : alerted) EXPECT_EQ(window, &form) << c.what;
  }
}

}  // namespace
}  // namespace gorvane
