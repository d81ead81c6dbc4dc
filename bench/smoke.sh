#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Every benchmark once in its smoke run (GORVANE_BENCH_SMOKE=1, see
# bench/smoke.h), so that one that no longer runs is seen: fails when any
# fails, crashes or hangs. Their figures are printed, not judged; then each
# one's wall time and the total.
#
# Usage: bench/smoke.sh BUILD_DIR   (the folder a preset builds, e.g. build/default)
set -uo pipefail

build="${1:?usage: bench/smoke.sh BUILD_DIR}"
export GORVANE_BENCH_SMOKE=1
export QT_QPA_PLATFORM=offscreen
# Far above a smoke run's time: only a hang reaches it.
limit=300

benches=(codec_bench game_stream_bench console_bench lobby_bench client_window_bench server_bench)
declare -A took
failed=()
now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

all_start=$(now)
for bench in "${benches[@]}"; do
  echo "== $bench"
  start=$(now)
  timeout --kill-after=10 "$limit" "$build/bench/$bench"
  status=$?
  took[$bench]=$(seconds "$start" "$(now)")
  if [ "$status" -ne 0 ]; then
    echo "== $bench FAILED (exit status $status)"
    failed+=("$bench")
  fi
done
total=$(seconds "$all_start" "$(now)")

echo "== smoke run wall times"
for bench in "${benches[@]}"; do printf '  %-20s %6s s\n' "$bench" "${took[$bench]}"; done
printf '  %-20s %6s s\n' total "$total"
if [ "${#failed[@]}" -gt 0 ]; then
  echo "== failed: ${failed[*]}"
  exit 1
fi
