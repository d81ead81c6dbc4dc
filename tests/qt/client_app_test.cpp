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

}  // namespace
}  // namespace gorvane
