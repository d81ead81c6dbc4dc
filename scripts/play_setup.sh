# SPDX-License-Identifier: GPL-3.0-or-later
# The local game that ./play and scripts/screenshots set up: a game server
# with a seeded deck on a free loopback address, headless companions, and the
# client's settings pointed at that server. Sourced after a build; the caller
# sets play_bin (the built programs) and play_dir (the play folder).

play_server=
play_players=()
play_address=
play_runtime=

play_stop() {
  local pid
  for pid in "$@"; do kill "$pid" 2>/dev/null || true; done
  for pid in "$@"; do wait "$pid" 2>/dev/null || true; done
}

# Stops everything started here; for an EXIT trap.
play_finish() {
  # The players say goodbye while the server is still there to hear it.
  play_stop "${play_players[@]}"
  [ -z "$play_server" ] || play_stop "$play_server"
  rm -f "$play_dir/console"
  [ -z "$play_runtime" ] || rm -rf "$play_runtime"
}

# The play folder with the deck, made the working directory; Qt gets a
# private runtime folder when the session has none, instead of a warning
# on every start.
play_prepare() {
  mkdir -p "$play_dir"
  cp "$play_bin/longcardlist.txt" "$play_dir/"
  cd "$play_dir" || return 1
  if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    play_runtime=$(mktemp -d "${TMPDIR:-/tmp}/gorvane-runtime.XXXXXX")
    export XDG_RUNTIME_DIR=$play_runtime
  fi
}

# Starts the server on 127.0.0.1, or, when port 21012 is taken there (another
# server, a second ./play), on the first free one of 127.0.0.150 to
# 127.0.0.199; sets play_address and play_server. The port is the client's
# own and cannot move.
play_start_server() {
  local seed=$1 address
  for address in 127.0.0.1 127.0.0.{150..199}; do
    "$play_bin/gorvane-server" --listen "$address" --seed "$seed" --db "$play_dir/gorvane-server.db" \
      --cards "$play_dir/longcardlist.txt" 2>"$play_dir/server.log" &
    play_server=$!
    for _ in $(seq 50); do
      grep -q "listening on" "$play_dir/server.log" && break
      kill -0 "$play_server" 2>/dev/null || break
      sleep 0.1
    done
    if grep -q "listening on" "$play_dir/server.log"; then
      play_address=$address
      return 0
    fi
    play_stop "$play_server"
    play_server=
    grep -q "in use" "$play_dir/server.log" || break
  done
  echo "The game server did not start:" >&2
  cat "$play_dir/server.log" >&2
  grep -q "in use" "$play_dir/server.log" &&
    echo "Port 21012 is taken on every address tried (a server listening on all addresses?)." >&2
  return 1
}

# A headless companion: play_companion NAME OPTION...
play_companion() {
  "$play_bin/gorvane-bot" --host "$play_address" --name "$1" "${@:2}" >/dev/null 2>>"$play_dir/players.log" &
  play_players+=($!)
}

# The client reads its settings from its working directory: point them at the
# local server, keeping whatever else the player has set there.
play_point_client() {
  local address=$play_address
  if [ ! -f tvr1.ini ]; then
    printf '[Global]\r\nName=%s\r\nAddress=%s\r\n' "$(printf 'プレイヤー' | iconv -f UTF-8 -t CP932)" "$address" >tvr1.ini
  elif grep -q '^Address=' tvr1.ini; then
    sed -i "s/^Address=[^\r]*/Address=$address/" tvr1.ini
  elif grep -q '^\[Global\]' tvr1.ini; then
    sed -i "/^\[Global\]/a Address=$address\r" tvr1.ini
  else
    printf '[Global]\r\nAddress=%s\r\n' "$address" >>tvr1.ini
  fi
}
