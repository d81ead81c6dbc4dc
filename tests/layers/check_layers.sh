#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when a file includes what its room may not: a Qt header outside
# src/qt, or a header of a room above its own or beside it. A room is a
# folder of src/ (src/server/<room> for the server); tests/<layer> and
# fuzz/<layer> are held to their layer's rule, tests/support/<layer> too.
# Usage: check_layers.sh SOURCE_ROOT
set -uo pipefail
root="${1:?usage: check_layers.sh SOURCE_ROOT}"

server_rooms="server/base server/game server/store server/lobby server/http server/loop"
# What each room may include besides the standard library and the system.
declare -A allowed=(
  [spine]="spine"
  [rules]="spine rules"
  [client]="spine rules client"
  [server/base]="spine server/base"
  [server/game]="spine rules server/base server/game"
  [server/store]="spine server/base server/store"
  [server/lobby]="spine rules server/base server/game server/store server/lobby"
  [server/http]="spine server/base server/store server/http"
  [server/loop]="spine rules $server_rooms"
  [bot]="spine rules client bot"
  [qt]="spine rules client qt"
  [app]="spine rules client $server_rooms bot qt"
)
# The folders held to a room's rule. The server's tests and its test
# support may reach every server room, as the loop does.
declare -A folders=()
for room in "${!allowed[@]}"; do folders["src/$room"]="$room"; done
for layer in spine rules client bot qt; do
  folders["tests/$layer"]="$layer"
  folders["fuzz/$layer"]="$layer"
done
folders[tests/server]="server/loop"
folders[tests/support/client]="client"
folders[tests/support/server]="server/loop"
# Only the Qt layer includes Qt; its tests may too.
qt_rooms=" qt "

# Sets target to the room an include names, or to nothing for what no rule
# covers (no subshell: the tree has thousands of includes).
room_of_include() {
  local header="${1#../}"
  target=""
  # Test support is at the level of what it supports.
  case "$header" in
    support/server/*) target="server/loop" && return 0 ;;
    support/*) header="${header#support/}" ;;
  esac
  local first="${header%%/*}"
  [ "$first" != "$header" ] || return 0
  if [ "$first" = server ]; then
    local rest="${header#server/}"
    local second="${rest%%/*}"
    if [ "$second" = "$rest" ]; then
      target="server/?"  # a server header outside every room
    else
      target="server/$second"
    fi
  elif [ -n "${allowed[$first]+x}" ]; then
    target="$first"
  fi
}

failures=0
# A source file straight in src/server belongs to no room.
while IFS= read -r stray; do
  echo "${stray#"$root"/}: in src/server but in none of its rooms"
  failures=$((failures + 1))
done < <(find "$root/src/server" -maxdepth 1 -type f \( -name '*.h' -o -name '*.cpp' \) 2>/dev/null)

for folder in "${!folders[@]}"; do
  room="${folders[$folder]}"
  dir="$root/$folder"
  [ -d "$dir" ] || continue
  while IFS=: read -r file line text; do
    rel="${file#"$root"/}"
    [[ "$text" =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*([<\"])([^>\"]+) ]] || continue
    quote="${BASH_REMATCH[1]}"
    header="${BASH_REMATCH[2]}"
    if [ "$quote" = "<" ]; then
      if [[ "$header" =~ ^Q[A-Za-z]*(/|$) && "$qt_rooms" != *" $room "* ]]; then
        echo "$rel:$line: <$header>: only src/qt includes Qt"
        failures=$((failures + 1))
      fi
      continue
    fi
    room_of_include "$header"
    [ -n "$target" ] || continue
    if [[ " ${allowed[$room]} " != *" $target "* ]]; then
      echo "$rel:$line: \"$header\": $room may not include $target"
      failures=$((failures + 1))
    fi
  done < <(grep -rn --include='*.h' --include='*.cpp' '#[[:space:]]*include' "$dir")
done

if [ "$failures" -ne 0 ]; then
  echo "$failures include(s) across rooms"
  exit 1
fi
echo "layers: every include within its room's reach"
