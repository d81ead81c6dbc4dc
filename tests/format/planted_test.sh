#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The format check fails on each kind of fault planted in a copy of the
# tree, and names the file. Usage: planted_test.sh SOURCE_ROOT
set -euo pipefail
root="${1:?usage: planted_test.sh SOURCE_ROOT}"
check="$root/tests/format/check_format.sh"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

# file to plant into | what is done to it (a sed script): a line spaced
# wrongly, a standard header among the project's, two includes out of
# order, a line past the column limit
cases=(
  "src/spine/codec.cpp|\$a int  planted (  ) { return 0 ; }"
  "src/server/lobby/lobby.cpp|/^#include \"spine\/sjis.h\"/a #include <string>"
  "tests/rules/play_rules_test.cpp|1a #include \"spine/sjis.h\"\n#include <string>"
  "bench/spine/codec_bench.cpp|\$a void Long() { const char* text = \"$(printf 'x%.0s' {1..120})\"; }"
)

mkdir -p "$scratch/tree"
cp -r "$root/src" "$root/tests" "$root/bench" "$root/fuzz" "$root/.clang-format" "$scratch/tree/"
failed=0
for row in "${cases[@]}"; do
  file="${row%%|*}"
  edit="${row#*|}"
  before="$(cksum <"$scratch/tree/$file")"
  sed -i -e "$edit" "$scratch/tree/$file"
  if [ "$before" = "$(cksum <"$scratch/tree/$file")" ]; then
    echo "planting changed nothing in $file: $edit"
    failed=1
    continue
  fi
  out="$(bash "$check" "$scratch/tree")" && status=0 || status=$?
  # 1 is a file found to differ; 2 would be clang-format itself failing.
  if [ "$status" -ne 1 ]; then
    echo "not caught (exit status $status): $edit in $file"
    failed=1
  elif ! grep -qF "$file: not as clang-format" <<<"$out"; then
    echo "caught without naming $file: $out"
    failed=1
  fi
  cp "$root/$file" "$scratch/tree/$file"
done
bash "$check" "$root" >/dev/null || { echo "the tree itself fails the check"; failed=1; }
exit "$failed"
