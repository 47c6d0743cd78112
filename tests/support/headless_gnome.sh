#!/usr/bin/env bash
# Runs a private headless GNOME session for Wayland tests, until it is sent SIGTERM:
#   a session bus (dbus-daemon), the PipeWire media server and its session manager (wireplumber), and the
#   compositor with one virtual monitor (mutter --headless --wayland --no-x11 --virtual-monitor WxH).
# It also ends when the process that started it is gone, so that a test that dies leaves nothing running.
# Everything lives in folder DIR: runtime folder DIR/run (the bus socket, pipewire-0, wayland-0), private
# configuration, data and cache folders, in-memory settings, logs in DIR/*.log. Once all are started it
# writes the bus address to DIR/address and the compositor's process id to DIR/mutter.pid.
# Usage: headless_gnome.sh DIR WIDTHxHEIGHT[,WIDTHxHEIGHT...] (one virtual monitor each). Exits 77 with one line "headless_gnome: <reason>" on standard
# output when a program is missing or does not start.
set -u
parent=$PPID
dir=$1
size=${2:-1280x720}

skip() {
  echo "headless_gnome: $*"
  exit 77
}

for tool in dbus-daemon pipewire wireplumber mutter; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (make deps)"
done

export XDG_RUNTIME_DIR=$dir/run XDG_CONFIG_HOME=$dir/config XDG_DATA_HOME=$dir/data XDG_CACHE_HOME=$dir/cache
export XDG_STATE_HOME=$dir/state HOME=$dir/home GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS PIPEWIRE_REMOTE
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_STATE_HOME" "$HOME"
chmod 700 "$XDG_RUNTIME_DIR"

pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait; exit 0' TERM INT
trap 'kill "${pids[@]}" 2>/dev/null' EXIT

# Waits up to 10 s for a path to exist; false when the program died or time ran out.
await() {
  local path=$1 pid=$2 i
  for ((i = 0; i < 200; ++i)); do
    [ -s "$path" ] || [ -S "$path" ] && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

dbus-daemon --session --nofork --address="unix:path=$XDG_RUNTIME_DIR/bus" --print-address=3 \
  3>"$dir/bus-address" 2>"$dir/dbus.log" &
pids+=($!)
await "$dir/bus-address" $! || skip "the session bus did not start"
DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$dir/bus-address")
export DBUS_SESSION_BUS_ADDRESS

pipewire >"$dir/pipewire.log" 2>&1 &
pids+=($!)
await "$XDG_RUNTIME_DIR/pipewire-0" $! || skip "pipewire did not start (see $dir/pipewire.log)"
wireplumber >"$dir/wireplumber.log" 2>&1 &
pids+=($!)
monitors=()
for one in ${size//,/ }; do monitors+=(--virtual-monitor "$one"); done
mutter --headless --wayland --no-x11 "${monitors[@]}" >"$dir/mutter.log" 2>&1 &
pids+=($!)
echo $! >"$dir/mutter.pid"
await "$XDG_RUNTIME_DIR/wayland-0" $! || skip "mutter did not start (see $dir/mutter.log)"
echo "$DBUS_SESSION_BUS_ADDRESS" >"$dir/address"
echo "headless_gnome: ready"
while kill -0 "$parent" 2>/dev/null; do
  sleep 0.5
done
