#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when a file includes what its layer may not: a Qt header outside
# src/qt, or a header of a layer above its own. tests/<layer> is held to the
# same rule as src/<layer>, and so is fuzz/<layer>. Usage: check_layers.sh SOURCE_ROOT
set -uo pipefail
root="${1:?usage: check_layers.sh SOURCE_ROOT}"

# What each layer may include besides the standard library and the system.
declare -A allowed=(
  [spine]="spine"
  [client]="spine client"
  [server]="spine client server"
  [bot]="spine client bot"
  [qt]="spine client qt"
  [app]="spine client server bot qt"
)
# Only the Qt layer includes Qt; its tests may too.
qt_layers=" qt "

failures=0
for layer in "${!allowed[@]}"; do
  for dir in "$root/src/$layer" "$root/tests/$layer" "$root/fuzz/$layer"; do
    [ -d "$dir" ] || continue
    while IFS=: read -r file line text; do
      [[ "$text" =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*([<\"])([^>\"]+) ]] || continue
      quote="${BASH_REMATCH[1]}"
      header="${BASH_REMATCH[2]}"
      rel="${file#"$root"/}"
      if [ "$quote" = "<" ]; then
        if [[ "$header" =~ ^Q[A-Za-z]*(/|$) && "$qt_layers" != *" $layer "* ]]; then
          echo "$rel:$line: <$header>: only src/qt includes Qt"
          failures=$((failures + 1))
        fi
        continue
      fi
      # "layer/file.h", or "../layer/file.h" between test folders.
      target="${header#../}"
      target_layer="${target%%/*}"
      [ "$target_layer" != "$target" ] || continue
      [ -n "${allowed[$target_layer]+x}" ] || continue
      if [[ " ${allowed[$layer]} " != *" $target_layer "* ]]; then
        echo "$rel:$line: \"$header\": $layer may not include $target_layer"
        failures=$((failures + 1))
      fi
    done < <(grep -rn --include='*.h' --include='*.cpp' '#[[:space:]]*include' "$dir")
  done
done

if [ "$failures" -ne 0 ]; then
  echo "$failures include(s) across layers"
  exit 1
fi
echo "layers: every include within its layer's reach"
