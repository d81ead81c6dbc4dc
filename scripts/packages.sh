# SPDX-License-Identifier: GPL-3.0-or-later
# Debian packages the project needs, and a helper that installs the missing ones.
# Sourced by ./test, ./play and .ci/run.

GORVANE_BUILD_PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev libssl-dev libsodium-dev libpq-dev libcpp-httplib-dev prometheus-cpp-dev
)
# Making the Debian packages (dpkg-shlibdeps, file) and checking the desktop
# entry and metadata that an installation holds, the packages (lintian) and
# the service's sandbox (systemd-analyze); ./test uses the checkers.
GORVANE_PACKAGING_PACKAGES=(dpkg-dev file desktop-file-utils appstream lintian systemd)
GORVANE_FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# The windows' icon is an SVG, drawn by Qt's SVG plugins.
GORVANE_PLAY_PACKAGES=(fonts-noto-cjk libqt6svg6)
# The widget tests measure the Japanese captions in the font a player gets
# and draw the windows' icon; the account store's tests start a PostgreSQL
# cluster of their own; the server's metrics are checked with promtool and
# its status page is opened in a real browser; the style is checked with
# clang-format.
GORVANE_TEST_PACKAGES=(fonts-noto-cjk libqt6svg6 postgresql prometheus chromium clang-format)
# scripts/screenshots: a virtual X display and a way to photograph a window.
GORVANE_SCREENSHOT_PACKAGES=(xvfb xauth imagemagick)

# ensure_packages NAME...: installs what is missing when run as root; otherwise
# prints the one apt-get line that is needed and fails.
ensure_packages() {
  local missing=()
  local name
  for name in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$name")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    return 1
  fi
  echo "Installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >&2
  apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}
