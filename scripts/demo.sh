#!/usr/bin/env bash
# `make demo`: shares a screen through a local relay and watches it: in a session window when an X display
# is available, else with a headless viewer (DEMO_HEADLESS=1 asks for the headless one anyway).
#
# Starts pellora-relay on loopback (identities in a temporary database), a host registered with it
# (the synthetic screen; the current X display with DEMO_SOURCE=x11; with DEMO_SOURCE=wayland the current
# Wayland desktop, or outside one a private headless GNOME desktop), reads the host's nine-digit id
# from its status file, and connects a headless viewer through the relay by that id. The viewer prints
# its figures once a second for DEMO_SECONDS (default 20); then, or on Ctrl-C, everything started here is
# stopped. HOME and the XDG folders point into a temporary folder and secrets go to a file there, so the
# demo never touches your settings or your keyring. Exits non-zero when the viewer saw no picture.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=${PRESET:-release}
bin=build/$preset/apps
source=${DEMO_SOURCE:-synthetic}
seconds=${DEMO_SECONDS:-20}
password=demo-parola

case "$source" in
  synthetic) ;;
  x11) [ -n "${DISPLAY:-}" ] || { echo "demo: DEMO_SOURCE=x11 needs an X display in \$DISPLAY" >&2; exit 2; } ;;
  wayland) ;;
  *) echo "demo: DEMO_SOURCE must be synthetic, x11 or wayland" >&2; exit 2 ;;
esac
for program in pellora pellora-relay; do
  [ -x "$bin/$program" ] || { echo "demo: $bin/$program is missing; run 'make demo' to build it" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/pellora-demo.XXXXXX")
pids=()

stop_all() {
  local pid
  # In order: the host first, so that it says goodbye while its relay still runs, then the relay.
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap stop_all EXIT
trap 'echo; echo "demo: interrupted"; exit 130' INT TERM

export HOME="$work/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache"
export PELLORA_SECRET_STORE=file
unset PELLORA_RELAY_URL PELLORA_PASSWORD
mkdir -p "$HOME"

# Reads one field of a JSON file ("relay.id"); empty while the file or the field is missing.
json_field() {
  python3 - "$1" "$2" <<'EOF' 2>/dev/null || true
import json, sys
value = json.load(open(sys.argv[1]))
for key in sys.argv[2].split("."):
    value = value[key] if isinstance(value, dict) else None
print("" if value is None else value)
EOF
}

source scripts/local_relay.sh
start_local_relay || { echo "demo: the relay did not start" >&2; exit 1; }
echo "demo: relay at $relay"

# Outside a Wayland session, the Wayland demo shares a private headless GNOME desktop (the Wayland tests'
# session: its own bus, PipeWire and compositor, all ended with this script). Only the host sees it.
host_env=()
if [ "$source" = wayland ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  gnome=$work/gnome
  mkdir -p "$gnome"
  tests/support/headless_gnome.sh "$gnome" 1280x720 >"$work/gnome.out" 2>&1 &
  pids=("${pids[@]}" $!)
  gnome_answered() { grep -q "^headless_gnome:" "$work/gnome.out" 2>/dev/null; }
  wait_until gnome_answered && grep -q "^headless_gnome: ready" "$work/gnome.out" ||
    { echo "demo: no headless GNOME desktop: $(cat "$work/gnome.out")" >&2; exit 1; }
  host_env=(DBUS_SESSION_BUS_ADDRESS="$(cat "$gnome/address")" XDG_RUNTIME_DIR="$gnome/run" WAYLAND_DISPLAY=wayland-0)
  echo "demo: a headless GNOME desktop runs for the host"
fi

env "${host_env[@]}" "$bin/pellora" host --source "$source" --listen 127.0.0.1:0 --relay "$relay" --no-discovery --approve never \
  --password "$password" --status-json "$work/status.json" </dev/null > >(sed -u 's/^/[host]   /') 2>&1 &
pids=($! "${pids[@]}")
online() { [ "$(json_field "$work/status.json" relay.state)" = online ]; }
wait_until online || { echo "demo: the host did not come online with the relay" >&2; exit 1; }
id=$(json_field "$work/status.json" relay.displayID)

if [ -n "${DISPLAY:-}" ] && [ -z "${DEMO_HEADLESS:-}" ]; then
  echo "demo: host online as $id; a session window opens for $seconds s (close it to end sooner)"
  status=0
  timeout "$seconds" "$bin/pellora" connect "$id" --relay "$relay" --password "$password" </dev/null 2>&1 |
    sed -u 's/^/[viewer] /' || status=$?
  # The window ran until the user closed it (0) or the time was up (124).
  [ "$status" -eq 0 ] || [ "$status" -eq 124 ] || { echo "demo: FAILED: the session window exited with $status" >&2; exit 1; }
  echo "demo: done"
  exit 0
fi

echo "demo: host online as $id; connecting a headless viewer for $seconds s"
status=0
"$bin/pellora" connect "$id" --headless --relay "$relay" --password "$password" --seconds "$seconds" \
  --stats-json "$work/stats.json" </dev/null 2>&1 | sed -u 's/^/[viewer] /' || status=$?

pictures=$(json_field "$work/stats.json" pictures)
python3 - "$work/stats.json" <<'EOF' 2>/dev/null || true
import json, sys
s = json.load(open(sys.argv[1]))
def pair(key):
    v = s.get(key)
    return f"{v['p50']:.0f}/{v['p95']:.0f} ms" if v else "-"
print(f"demo: {s['frames']} frames ({s['codec']}), {s['meanFps']:.1f} fps and {s['meanKbps']:.0f} kbit/s on average, "
      f"ping p50/p95 {pair('latencyMs')}, glass-to-glass p50/p95 {pair('glassToGlassMs')}; ended: {s['endReason']}")
EOF
if [ "$status" -ne 0 ] || [ -z "$pictures" ] || [ "$pictures" -eq 0 ]; then
  echo "demo: FAILED: the viewer saw no picture" >&2
  exit 1
fi
echo "demo: done: $pictures pictures"
