#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the build into a temporary prefix and checks what a player and a
# host get: the layout, the desktop entry and metadata (with their validators
# when they are installed), the launcher preparing a player's folder and
# starting the client, its failures, and the server and the headless player
# finding the installed deck.
# usage: install_test.sh BUILD_DIR SOURCE_DIR APP_ID VERSION
set -uo pipefail
build=$1 source=$2 id=$3 version=$4

root=$(mktemp -d "${TMPDIR:-/tmp}/gorvane_install.XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$root"
}
trap cleanup EXIT

source "$(dirname "$0")/checks.sh"

prefix=$root/prefix
if ! cmake --install "$build" --prefix "$prefix" >"$root/install.log" 2>&1; then
  cat "$root/install.log"
  echo "0 passed, 1 failed"
  exit 1
fi

# The layout.
for program in games/gorvane bin/gorvane-server bin/gorvane-bot libexec/gorvane/gorvane; do
  check "$program is an installed program" test -x "$prefix/$program"
done
for file in share/applications/$id.desktop share/icons/hicolor/scalable/apps/$id.svg \
  share/metainfo/$id.metainfo.xml lib/systemd/system/gorvane-server.service; do
  check "$file is installed" test -s "$prefix/$file"
done
check "the deck is installed as it is" cmp -s "$source/data/longcardlist.txt" "$prefix/share/gorvane/longcardlist.txt"
check "the client is not started by hand" test ! -e "$prefix/bin/gorvane-client"

# One id everywhere, and the release of this version.
desktop=$prefix/share/applications/$id.desktop
metainfo=$prefix/share/metainfo/$id.metainfo.xml
check "the desktop entry starts the launcher" grep -qx 'Exec=gorvane' "$desktop"
check "the desktop entry offers the practice" grep -qx 'Exec=gorvane --practice' "$desktop"
check "the desktop entry names the icon by the id" grep -qx "Icon=$id" "$desktop"
check "the metadata carries the id" grep -q "<id>$id</id>" "$metainfo"
check "the metadata launches the desktop entry" grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo"
check "the metadata names release $version" grep -q "<release version=\"$version\"" "$metainfo"
check "the metadata names both screenshots" test "$(grep -c '<image>.*/docs/\(lobby\|game\)\.png</image>' "$metainfo")" -eq 2
for picture in lobby game; do
  check "docs/$picture.png is in the tree" test -s "$source/docs/$picture.png"
done
check "the service starts the installed server on the installed deck" \
  grep -q '^ExecStart=/usr/bin/gorvane-server .*--cards /usr/share/gorvane/longcardlist.txt' \
  "$prefix/lib/systemd/system/gorvane-server.service"

if command -v desktop-file-validate >/dev/null; then
  check "desktop-file-validate accepts the desktop entry" quietly desktop-file-validate "$desktop"
else
  skip "desktop-file-validate is not installed"
fi
if command -v appstreamcli >/dev/null; then
  check "appstreamcli accepts the metadata" quietly appstreamcli validate --no-net "$metainfo"
else
  skip "appstreamcli is not installed"
fi

# The launcher, started from another folder with a temporary home: it makes
# the player's folder, puts the deck there and runs the client inside it.
# Each case: a name, XDG_DATA_HOME (- for unset), the folder expected.
run_launcher() {  # run_launcher XDG_DATA_HOME: the client's pid, or nothing
  local xdg=$1
  mkdir -p "$root/elsewhere"
  (
    cd "$root/elsewhere" || exit 1
    if [ "$xdg" = - ]; then unset XDG_DATA_HOME; else export XDG_DATA_HOME=$xdg; fi
    HOME=$root/home QT_QPA_PLATFORM=offscreen exec "$prefix/games/gorvane"
  ) >"$root/launcher.log" 2>&1 &
  echo $!
}
# The client is up once the launcher has handed over to it in the folder.
client_in() {  # client_in PID FOLDER
  local pid=$1 folder=$2
  for _ in $(seq 100); do
    if [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$prefix/libexec/gorvane/gorvane" ] &&
      [ "$(readlink "/proc/$pid/cwd")" = "$folder" ]; then
      # Still up a moment later: it did not fall over on start-up.
      sleep 0.5
      kill -0 "$pid" 2>/dev/null
      return
    fi
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
rm -rf "$root/home"
mkdir -p "$root/home" "$root/xdg"
while IFS='|' read -r what xdg folder; do
  pid=$(run_launcher "$xdg")
  pids+=("$pid")
  check "$what: the client runs in $folder" client_in "$pid" "$folder"
  check "$what: the player's folder has the deck" cmp -s "$source/data/longcardlist.txt" "$folder/longcardlist.txt"
  check "$what: the player's folder is theirs alone" test "$(stat -c %a "$folder")" = 700
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  if [ -s "$root/launcher.log" ] && grep -qi 'error\|cannot\|no such' "$root/launcher.log"; then
    echo "FAILED: $what: the launcher or the client complained:"
    cat "$root/launcher.log"
    failures=$((failures + 1))
  fi
done <<CASES
XDG_DATA_HOME unset|-|$root/home/.local/share/gorvane
XDG_DATA_HOME set|$root/xdg|$root/xdg/gorvane
XDG_DATA_HOME relative, so ignored|relative/data|$root/home/.local/share/gorvane
CASES

# A player's own deck and settings stay as they are; a folder an older
# version left open to others is closed.
folder=$root/home/.local/share/gorvane
chmod 755 "$folder"
printf 'c1 L Path 0 0 10\r\n' >"$folder/longcardlist.txt"
printf '[Global]\r\nName=me\r\n' >"$folder/tvr1.ini"
cp "$folder/longcardlist.txt" "$root/own-deck"
pid=$(run_launcher -)
pids+=("$pid")
check "with a deck of the player's own: the client runs" client_in "$pid" "$folder"
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
check "with a deck of the player's own: it is kept" cmp -s "$root/own-deck" "$folder/longcardlist.txt"
check "an older folder open to others: it is the player's alone" test "$(stat -c %a "$folder")" = 700
check "the launcher refuses what it does not know" test "$("$prefix/games/gorvane" --bogus >/dev/null 2>&1; echo $?)" = 2
for option in --help --version; do
  check "gorvane $option answers and exits 0" quietly "$prefix/games/gorvane" "$option"
done

# Failures are said in one line (and in a window from the menu, not here:
# there is no display).
launcher_fails() {  # launcher_fails XDG_DATA_HOME WORDS: exit 1 and one line with WORDS
  local status
  env -u DISPLAY -u WAYLAND_DISPLAY XDG_DATA_HOME="$1" PATH="$shim:$PATH" "$prefix/games/gorvane" >"$root/fail.log" 2>&1
  status=$?
  [ $status -eq 1 ] && [ "$(wc -l <"$root/fail.log")" -eq 1 ] && grep -q "$2" "$root/fail.log" ||
    { echo "exit $status:"; cat "$root/fail.log"; return 1; }
}
shim=$root/no-shim
touch "$root/a-file"
check "a settings folder that cannot be made is named with the reason" \
  launcher_fails "$root/a-file/data" "cannot make the folder $root/a-file/data/gorvane.*Not a directory"
# A copy that dies half-way (a full disk) leaves no deck that would later
# pass for the player's own.
shim=$root/shim
mkdir -p "$shim"
printf '#!/bin/sh\nhead -c 1000 "$1" >"$2"\nexit 1\n' >"$shim/cp"
chmod +x "$shim/cp"
check "a deck copy that fails half-way is reported" launcher_fails "$root/cut" "cannot copy the deck"
check "a deck copy that fails half-way leaves nothing behind" test -z "$(ls -A "$root/cut/gorvane")"
pid=$(run_launcher "$root/cut")
pids+=("$pid")
check "the next start copies the whole deck" client_in "$pid" "$root/cut/gorvane"
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
check "the next start's deck is the installed one" cmp -s "$source/data/longcardlist.txt" "$root/cut/gorvane/longcardlist.txt"

# The installed server reads the installed deck when given none and there is
# none here; a database folder that does not exist is named.
server_up() {  # server_up: started bare in another folder, it listens
  (cd "$root/elsewhere" && exec "$prefix/bin/gorvane-server" --listen 127.0.0.86 --db "$root/bare.db") 2>"$root/server.log" &
  local server=$! up=1
  for _ in $(seq 50); do
    grep -q "listening on" "$root/server.log" && { up=0; break; }
    kill -0 $server 2>/dev/null || break
    sleep 0.1
  done
  kill $server 2>/dev/null
  wait $server 2>/dev/null
  [ $up -eq 0 ] || { cat "$root/server.log"; return 1; }
}
check "the installed server started bare reads the installed deck" server_up
check "a database in a folder that does not exist is named in one line" test \
  "$(echo secret | "$prefix/bin/gorvane-server" --db "$root/nowhere/x.db" --add-user ann 2>&1 | grep -c "no folder $root/nowhere")" = 1

# The installed headless player finds the installed deck from any folder;
# nobody listens on 127.0.0.85, so one that found its deck fails to connect (1).
bot_exit() {  # bot_exit EXPECTED
  (cd "$root/elsewhere" && "$prefix/bin/gorvane-bot" --host 127.0.0.85 --create >"$root/bot.log" 2>&1)
  [ $? -eq "$1" ] && [ "$(wc -l <"$root/bot.log")" -eq 1 ]
}
check "the installed bot finds the installed deck" bot_exit 1
mv "$prefix/share/gorvane/longcardlist.txt" "$root/moved-deck"
check "the installed bot without any deck exits 2 with one line" bot_exit 2
check "that line says how to give one" grep -q -- '--cards FILE' "$root/bot.log"
server_bare() {  # without any deck the server says how to give one, in one line
  local text
  text=$(cd "$root/elsewhere" && "$prefix/bin/gorvane-server" --listen 127.0.0.86 --db "$root/bare.db" 2>&1)
  [ $? -eq 1 ] && [ "$(wc -l <<<"$text")" -eq 1 ] && grep -q -- '--cards FILE' <<<"$text"
}
check "the installed server without any deck exits 1 with one line" server_bare

finish
