#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when a C++ file of the tree differs from what clang-format makes of
# it under the project's .clang-format (include blocks regrouped and
# sorted), and names each such file. Usage: check_format.sh SOURCE_ROOT
set -uo pipefail
root="${1:?usage: check_format.sh SOURCE_ROOT}"
cd "$root" || exit 2
command -v clang-format >/dev/null || { echo "clang-format is not installed"; exit 2; }

# One clang-format for the whole tree: it names each line it would change.
mapfile -d '' files < <(find src tests bench fuzz -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z)
report="$(clang-format --style=file --dry-run --Werror "${files[@]}" 2>&1)"
status=$?
mapfile -t differing < <(grep -oE '^[^:]+:[0-9]+:[0-9]+: (error|warning)' <<<"$report" | cut -d: -f1 | sort -u)
if [ "$status" -ne 0 ] && [ ${#differing[@]} -eq 0 ]; then
  echo "clang-format failed: $report"
  exit 2
fi
for file in "${differing[@]}"; do echo "$file: not as clang-format writes it (clang-format -i $file)"; done
if [ ${#differing[@]} -ne 0 ]; then
  echo "${#differing[@]} file(s) to format"
  exit 1
fi
echo "format: every file as clang-format writes it"
