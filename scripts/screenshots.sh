#!/usr/bin/env bash
# Renders every window of the desktop app at 1920×1080 under a private Xvfb into docs/screenshots/*.png,
# with live sessions: a relay on loopback; the app sharing (online identity) with a headless viewer
# connected to it (chat, a file); and the app's own session window on a synthetic host (chat, a file).
# Everything runs in a temporary HOME with file-based secrets and only on loopback. Run it again whenever
# a window changes. Needs the release build (pellora, pellora-relay, grab-screen), Xvfb and xdotool.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=${PRESET:-release}
bin=build/$preset/apps
grab=build/$preset/tests/ui/grab-screen
out=docs/screenshots
for program in "$bin/pellora" "$bin/pellora-relay" "$grab"; do
  [ -x "$program" ] || { echo "screenshots: $program is missing; build the release preset first" >&2; exit 2; }
done
mkdir -p "$out"

work=$(mktemp -d "${TMPDIR:-/tmp}/pellora-shots.XXXXXX")
pids=()
stop_all() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  sleep 0.5
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap stop_all EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_until() {
  for _ in $(seq 200); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

# A private X server: the first free display number from 90.
display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1920x1080x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=":$display"
wait_until xdotool getdisplaygeometry >/dev/null 2>&1

export HOME="$work/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache"
export XDG_DOWNLOAD_DIR="$HOME/Downloads"
export PELLORA_SECRET_STORE=file PELLORA_REDUCE_MOTION=1
mkdir -p "$XDG_CONFIG_HOME/pellora" "$HOME/Downloads"

"$bin/pellora-relay" --listen 127.0.0.1:0 --db "$work/relay.db" </dev/null >"$work/relay.log" 2>&1 &
pids+=($!)
relay_port() { grep -o 'listening on 127\.0\.0\.1:[0-9]*' "$work/relay.log" | grep -o '[0-9]*$'; }
wait_until relay_port >/dev/null
relay="http://127.0.0.1:$(relay_port)"

# The synthetic host the app's session window shows; what is written into its fifo becomes chat lines.
host_port=$(free_port)
mkfifo "$work/host-chat"
exec 7<>"$work/host-chat"
"$bin/pellora" host --source synthetic --listen "127.0.0.1:$host_port" --password studio-parola --no-relay \
  --no-discovery --approve never <&7 >"$work/host.log" 2>&1 &
pids+=($!)
wait_until grep -q 'Listener' "$work/host.log"

# The app: sharing on loopback with the relay, approval on, a few recent targets.
app_port=$(free_port)
cat >"$XDG_CONFIG_HOME/pellora/settings.json" <<JSON
{"relayURL": "$relay", "relayEnabled": true, "requireApproval": true,
 "recent": ["192.168.1.40", "123 456 789", "atolye.local"]}
JSON
PELLORA_HOST_LISTEN="127.0.0.1:$app_port" PELLORA_PASSWORD=kahve-1234 PELLORA_SHARE_AT_START=1 \
  PELLORA_AUTOCONNECT="127.0.0.1:$host_port|studio-parola" "$bin/pellora" >"$work/app.log" 2>&1 &
pids+=($!)

window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1; }
shot() { sleep "${2:-1}"; "$grab" "$out/$1.png" 2>/dev/null; echo "screenshots: $out/$1.png"; }
# Without a window manager every window opens at 0,0: place them.
place() { xdotool windowmove "$1" "$2" "$3"; xdotool windowraise "$1"; }
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; }

wait_until window '^Pellora$' >/dev/null
main=$(window '^Pellora$')
wait_until window '^vm$|^127' >/dev/null
remote=$(window "$(hostname)" || true)
[ -n "$remote" ] || remote=$(xdotool search --onlyvisible --name '.' | grep -v "^$main$" | tail -1)

# A chat line from the host, and a file sent to it from the session window's chooser.
echo "Merhaba! Sunum dosyasını gönderebilir misin?" >&7
printf 'Sunum taslağı\n' >"$HOME/sunum-taslak.txt"

# The session window: chat open, a file on its way.
place "$remote" 320 130
shot remote-window-connecting 0.2 || true
sleep 2
# The toolbar's buttons are found by their texts' positions in a fixed 1280-wide layout.
xdotool windowactivate --sync "$remote" 2>/dev/null || xdotool windowfocus "$remote"
echo "screenshots: remote window $remote, main $main"
