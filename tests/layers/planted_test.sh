#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The layer check fails on each kind of violation planted in a copy of the
# tree, and names the file. Usage: planted_test.sh SOURCE_ROOT
set -euo pipefail
root="${1:?usage: planted_test.sh SOURCE_ROOT}"
check="$root/tests/layers/check_layers.sh"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

# file to plant into | the line planted (a file to create ends in "new")
cases=(
  "src/spine/codec.cpp|#include <QString>"
  "src/client/lobby.cpp|#include <QtCore/QObject>"
  "src/server/base/wire.cpp|#include <QByteArray>"
  "src/spine/session.cpp|#include \"client/lobby.h\""
  "src/rules/play_rules.cpp|#include \"client/game_room.h\""
  "src/client/game_room.cpp|#include \"qt/TForm2.h\""
  "src/bot/turn_planner.cpp|#include \"server/game/game.h\""
  "src/server/game/game.cpp|#include \"bot/turn_planner.h\""
  "src/server/game/game.cpp|#include \"client/lobby.h\""
  "src/server/store/logins.cpp|#include \"server/lobby/lobby.h\""
  "src/server/base/metrics.h|#include \"server/store/accounts.h\""
  "src/server/lobby/lobby.h|#include \"server/loop/out_queue.h\""
  "src/server/http/status_page.cpp|#include \"server/lobby/lobby.h\""
  "src/server/game/game.cpp|#include \"server/lobby/lobby.h\""
  "src/server/lobby/names.cpp|#include \"server/http/http_side.h\""
  "src/server/base/net.cpp|#include \"server/net.h\""
  "src/server/stray.cpp new|// a file in no room"
  "tests/client/lobby_test.cpp|#include \"../qt/offscreen_lobby.h\""
  "tests/spine/codec_test.cpp|#include \"support/client/receiving_client.h\""
  "tests/support/client/receiving_client.h|#include \"support/server/loopback.h\""
  "fuzz/spine/codec_fuzzer.cpp|#include \"client/lobby.h\""
)

# One copy of the tree; each case plants into it and is undone after.
mkdir -p "$scratch/tree"
cp -r "$root/src" "$root/tests" "$root/fuzz" "$scratch/tree/"
failed=0
for row in "${cases[@]}"; do
  file="${row%%|*}"
  file="${file% new}"
  include="${row#*|}"
  printf '%s\n' "$include" >> "$scratch/tree/$file"
  if out="$(bash "$check" "$scratch/tree")"; then
    echo "not caught: $include in $file"
    failed=1
  elif ! grep -qF "$file" <<<"$out"; then
    echo "caught without naming $file: $out"
    failed=1
  fi
  if [ -f "$root/$file" ]; then cp "$root/$file" "$scratch/tree/$file"; else rm "$scratch/tree/$file"; fi
done
bash "$check" "$root" >/dev/null || { echo "the tree itself fails the check"; failed=1; }
exit "$failed"
