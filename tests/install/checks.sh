# SPDX-License-Identifier: GPL-3.0-or-later
# The install tests' way of counting: one line per failed check, a closing
# "N passed, N failed, N skipped" line, and the exit status from it.
# Sourced; the sourcing script sets root (a scratch folder) first.
failures=0 passes=0 skips=0
check() {  # check WHAT COMMAND...: one result line
  if "${@:2}"; then
    passes=$((passes + 1))
  else
    echo "FAILED: $1"
    failures=$((failures + 1))
  fi
}
quietly() {  # quietly COMMAND...: its output only when it fails
  "$@" >"$root/quiet.log" 2>&1 || { cat "$root/quiet.log"; return 1; }
}
skip() {
  echo "skipped: $1"
  skips=$((skips + 1))
}
finish() {  # the closing line; the exit status says whether all passed
  echo "$passes passed, $failures failed, $skips skipped"
  [ "$failures" -eq 0 ]
}
