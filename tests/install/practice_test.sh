#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# gorvane --practice from an installed prefix: the server on its own address
# with computer players of distinct names that join a party a test client
# makes, whose game starts; everything gone once the client is killed or
# the launcher is, two at once in folders of their own, and the player's own
# settings left as they were.
# usage: practice_test.sh BUILD_DIR
set -uo pipefail
build=$1

root=$(mktemp -d "${TMPDIR:-/tmp}/gorvane_practice.XXXXXX")
prefix=$root/prefix
launchers=()
cleanup() {
  local pid
  for pid in "${launchers[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$root"
}
trap cleanup EXIT

source "$(dirname "$0")/checks.sh"

if ! cmake --install "$build" --prefix "$prefix" >"$root/install.log" 2>&1; then
  cat "$root/install.log"
  echo "0 passed, 1 failed"
  exit 1
fi

# The player's own folder, with a name in code page 932 and a login.
export HOME=$root/home XDG_DATA_HOME=$root/data TMPDIR=$root/tmp QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY
export XDG_RUNTIME_DIR=$root/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
mkdir -p "$XDG_DATA_HOME/gorvane" "$TMPDIR"
own=$XDG_DATA_HOME/gorvane
name=$(printf '冒険者' | iconv -f UTF-8 -t CP932)
printf '; mine\r\n[global]\r\n  name =  %s \r\nAddress=192.0.2.7\r\n[Login]\r\nID=ann\r\n' "$name" >"$own/tvr1.ini"
printf 'c1 L Path 0 0 10\r\n' >"$own/longcardlist.txt"
snapshot() { (cd "$own" && find . -type f -exec md5sum {} + | sort); }
before=$(snapshot)

# The processes running an installed program.
running() {  # running PROGRAM: their pids
  find /proc -mindepth 2 -maxdepth 2 -name exe -lname "$prefix/$1" 2>/dev/null | cut -d/ -f3
}
gone_within_5s() {  # everything the launchers started has ended, and their folders
  for _ in $(seq 50); do
    [ -z "$(running bin/gorvane-server)$(running bin/gorvane-bot)$(running libexec/gorvane/gorvane)" ] &&
      [ -z "$(ls -A "$TMPDIR")" ] && return 0
    sleep 0.1
  done
  echo "left: server $(running bin/gorvane-server), players $(running bin/gorvane-bot)," \
    "client $(running libexec/gorvane/gorvane), $(ls -A "$TMPDIR")"
  return 1
}
# The folder a client runs in, and its settings there.
folder_of() { readlink "/proc/$1/cwd"; }
start_practice() {  # start_practice N [OPTION...]: the launcher's pid; its client up and address known
  local known
  known=$(running libexec/gorvane/gorvane)
  "$prefix/games/gorvane" --practice --players "$@" >"$root/launcher.log" 2>&1 &
  launchers+=($!)
  for _ in $(seq 100); do
    client=$(running libexec/gorvane/gorvane | grep -vxF "${known:-none}" | head -n 1)
    [ -n "$client" ] && grep -q '^Address=' "$(folder_of "$client")/tvr1.ini" 2>/dev/null && return
    sleep 0.1
  done
  echo "the practice did not start:"
  cat "$root/launcher.log"
  return 1
}

# A test client on the wire: NUL-ended messages, commands "KIND id argument".
send() { printf '%s %s %s\0' "$1" "$me" "$2" >&3; }
await() {  # await PATTERN: reads until a message (as UTF-8) matches; it is in $message
  local deadline=$((SECONDS + 15)) raw
  while [ $SECONDS -lt $deadline ]; do
    IFS= read -r -d '' -t 1 -u 3 raw || continue
    message=$(iconv -f CP932 -t UTF-8 <<<"$raw")
    [[ $message =~ $1 ]] && return 0
  done
  echo "no message matching $1"
  return 1
}

# turn_seconds: the --turn-seconds the practice server was started with.
turn_seconds() {
  local pid
  pid=$(running bin/gorvane-server | head -n 1)
  [ -n "$pid" ] && tr '\0' '\n' <"/proc/$pid/cmdline" | sed -n '/^--turn-seconds$/{n;p;q}'
}

check "the practice starts" start_practice 3
check "the practice server's turns are untimed" test "$(turn_seconds)" = 0
first=$client seat=$(folder_of "$client")
address=$(sed -n 's/^Address=\([0-9.]*\)\r$/\1/p' "$seat/tvr1.ini")
check "the practice server is on a loopback address of its own" test "${address#127.0.0.}" -ge 150
check "the practice client has the player's name" grep -qF "Name=$name"$'\r' "$seat/tvr1.ini"
check "the practice client logs in as a guest" grep -q $'^ID=guest\r$' "$seat/tvr1.ini"
arguments() { tr '\0' ' ' <"/proc/$1/cmdline"; }
check "the client is told its practice and where the player's name goes back" \
  grep -qF -- "--practice-at $address --own-settings $own/tvr1.ini " <(arguments "$client")

members() {  # members PARTY: until the three players have joined it
  local joined=0
  while [ $joined -lt 3 ]; do
    await "^S_PJOIN,[0-9]+,$1\$" || return 1
    joined=$((joined + 1))
  done
}
if exec 3<>"/dev/tcp/$address/21012"; then
  await '^S_CONNECT,' && me=$(cut -d, -f2 <<<"$message")
  send G_JOIN Tester
  # The players may still be connecting: ask until all three are listed.
  for _ in $(seq 20); do
    send G_LIST '*'
    await '^S_LIST,' || break
    names=$(tr ',' '\n' <<<"${message#S_LIST,}" | cut -d: -f2 | grep -vx Tester | sort -u)
    [ "$(wc -l <<<"$names")" -ge 3 ] && break
    sleep 0.3
  done
  check "three players of distinct names are in the lobby" test "$(wc -l <<<"$names")" -eq 3
  send P_CREATE '*'
  check "the test client makes a party" await "^S_CREATE,$me,[0-9]+\$"
  party=${message##*,}
  check "the three players join it" members "$party"
  send P_START '*'
  check "its game starts" await '^S_FIRSTHAND,'
  exec 3<&-
else
  check "the practice server takes a connection on $address" false
fi

check "a second practice starts beside it" start_practice 1 --turn-seconds 45 --strength 3
check "in a folder of its own" test "$(folder_of "$client")" != "$seat"
check "on an address of its own" test "$(sed -n 's/^Address=\([0-9.]*\)\r$/\1/p' "$(folder_of "$client")/tvr1.ini")" != "$address"
started_with() {  # started_with PROGRAM TEXT: one of its processes has TEXT in its command line
  local pid
  for pid in $(running "$1"); do arguments "$pid" | grep -qF -- "$2" && return 0; done
  return 1
}
check "its server ends a turn after the seconds asked for" started_with bin/gorvane-server "--turn-seconds 45 "
check "its players play as strongly as asked, taking a moment" started_with bin/gorvane-bot "--strength 3 --think "

# However the client goes, everything goes with it; and with the launcher.
kill -KILL "$first"
kill -KILL "${launchers[-1]}"
wait "${launchers[@]}" 2>/dev/null
check "a killed client and a killed launcher take everything they started with them" gone_within_5s

check "the player's own folder is untouched" test "$(snapshot)" = "$before"

finish
