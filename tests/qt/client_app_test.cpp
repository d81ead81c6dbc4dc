// SPDX-License-Identifier: GPL-3.0-or-later
// The windows' icon is found in an installation under any prefix.
#include "qt/client_app.h"

#include <gtest/gtest.h>

#include <QIcon>
#include <QPixmap>
#include <filesystem>

#include "view_checks.h"

namespace gorvane {
namespace {

namespace fs = std::filesystem;

TEST(ApplicationIcon, FoundFromTheClientsFolderInAnInstallation) {
  testing::InTempDirectory temp("icon");
  // Only the installation: no desktop theme may supply the icon instead.
  const QStringList themePaths = QIcon::themeSearchPaths();
  QIcon::setThemeSearchPaths({});
  const fs::path prefix = fs::current_path() / "prefix";
  const fs::path clientDir = prefix / GORVANE_INSTALL_LIBEXECDIR / "gorvane";
  const struct {
    const char* what;
    fs::path iconDir;
    bool found;
  } cases[] = {
      {"where the installation puts it", prefix / GORVANE_INSTALL_DATADIR / "icons/hicolor/scalable/apps",
       true},
      {"beside the client", clientDir, false},
  };
  for (const auto& c : cases) {
    fs::remove_all(prefix);
    fs::create_directories(clientDir);
    fs::create_directories(c.iconDir);
    fs::copy_file(GORVANE_ICON_FILE, c.iconDir / (GORVANE_APP_ID ".svg"));
    const QIcon icon = ApplicationIcon(QString::fromStdString(clientDir.string()));
    EXPECT_EQ(!icon.pixmap(32).isNull(), c.found) << c.what;
  }
  QIcon::setThemeSearchPaths(themePaths);
}

TEST(PracticeSeat, OnlyAWholePracticeChangesTheLobbysCaption) {
  const QString own = QStringLiteral("/home/ann/.local/share/gorvane/tvr1.ini");
  const struct {
    QStringList arguments;
    QString caption;
  } cases[] = {
      {{"gorvane"}, "［ロビー］Gorvane"},
      {{"gorvane", "--practice-at", "127.0.0.151", "--own-settings", own},
       "［ロビー］Gorvane（練習 127.0.0.151:21012）"},
      {{"gorvane", "--own-settings", own, "--practice-at", "127.0.0.150"},
       "［ロビー］Gorvane（練習 127.0.0.150:21012）"},
      {{"gorvane", "--practice-at", "127.0.0.150"}, "［ロビー］Gorvane"},
      {{"gorvane", "--own-settings", own, "--practice-at"}, "［ロビー］Gorvane"},
  };
  for (const auto& c : cases) {
    const std::optional<PracticeSeat> seat = PracticeFrom(c.arguments);
    EXPECT_EQ(LobbyCaption(seat), c.caption) << c.arguments.join(' ').toStdString();
    if (seat) {
      EXPECT_EQ(seat->ownSettings, own);
    }
  }
}

}  // namespace
}  // namespace gorvane
