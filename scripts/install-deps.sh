#!/usr/bin/env bash
# Installs the Debian packages Pellora needs, grouped by purpose; each make target asks for its groups:
#   build        compile and link everything, and run the programs (make build, make demo, make package)
#   test         the private servers and tools the tests start (make test, make test-asan)
#   bench        what the benchmarks compare against and run in (make bench)
#   fuzz         clang with libFuzzer (make fuzz)
#   coverage     the coverage report's tool (make coverage, with the test groups)
#   package      the .deb tools (make package)
#   wayland      a private headless GNOME desktop (the Wayland tests and benchmark; make demo DEMO_SOURCE=wayland)
#   screenshots  a window manager and an icon theme to render the windows under (scripts/screenshots.sh)
# Without arguments: every group (make deps). Idempotent: nothing happens when every package is present;
# otherwise one `apt-get update`, one install.
set -euo pipefail

declare -A groups
add() {  # add GROUP PACKAGE...
  local group=$1
  shift
  groups[$group]="${groups[$group]:-} $*"
}

# build: the toolchain
add build build-essential cmake ninja-build ccache pkg-config git python3
# build: the test and benchmark frameworks (one configuration builds the tests and benchmarks beside the programs)
add build libgtest-dev libgmock-dev libbenchmark-dev
# build: core: async I/O, HTTP, URL, JSON, crypto, Unicode, audio codec
add build libboost1.81-dev libboost-url1.81-dev libboost-json1.81-dev libssl-dev libutf8proc-dev libopus-dev
# build: command lines of pellora and pellora-relay
add build libboost-program-options1.81-dev
# build: host media: video codecs, pixel conversion, JPEG, X11 capture and injection, sound
add build libavcodec-dev libavutil-dev libyuv-dev libturbojpeg0-dev
add build libxcb1-dev libxcb-shm0-dev libxcb-damage0-dev libxcb-xfixes0-dev libxcb-randr0-dev libxcb-xtest0-dev
add build libxcb-xkb-dev libpulse-dev
# build: screensaver suspend, the fallback that keeps the display awake without a session bus
add build libxcb-screensaver0-dev
# build: relay store and secrets; the relay cluster's shared store client (Redis through hiredis)
add build libsqlite3-dev libsecret-1-dev libhiredis-dev
# build: session bus (GDBus), with descriptors passed over it (gio-unix): screensaver, Wayland sessions
add build libglib2.0-dev
# build: desktop app: Qt 6 widgets and SVG icons (its platform plugins come with them), the desktop's event sounds
add build qt6-base-dev qt6-svg-dev libxkbcommon-dev libcanberra-dev
# build: LAN announcement and discovery (the Avahi client library); Wayland capture (PipeWire streams)
add build libavahi-client-dev libpipewire-0.3-dev

# test: a virtual X server and its tools, a sound server, a CA for the TLS tests
add test xvfb x11-utils xdotool pulseaudio openssl
# test: mDNS: a private mDNS daemon and system bus inside a network namespace with a veth pair
add test avahi-daemon dbus iproute2
# test: relay cluster: the shared store and a TCP load balancer in front of the nodes (private copies)
add test redis-server haproxy

# wayland: a headless compositor with the screen-cast and remote-desktop interfaces, the media server and its
# session manager (private copies, started by the Wayland tests and benchmark and by the Wayland demo), and the
# Qt Wayland client that draws known pictures and records input in it
add wayland mutter pipewire wireplumber qt6-wayland

# bench: the ffmpeg encoder the H.264 figures are compared with; a virtual X server for the capture figures
add bench ffmpeg xvfb

# fuzz: clang with libFuzzer and the sanitizers
add fuzz clang-14 libclang-rt-14-dev

# coverage: the per-layer line and branch report of the test suite
add coverage gcovr

# package: .deb dependencies from dpkg-shlibdeps; CPack finds the ELF files to hand it with file(1)
add package dpkg-dev fakeroot file

# screenshots: a virtual X server and its remote control, a window manager, a desktop icon theme, and (as root)
# the mDNS tests' private network, so that a second host shows among the nearby devices
add screenshots xvfb xdotool openbox adwaita-icon-theme avahi-daemon dbus iproute2

all_groups=(build test wayland bench fuzz coverage package screenshots)
wanted=("$@")
[ ${#wanted[@]} -eq 0 ] && wanted=("${all_groups[@]}")
# The Wayland tests and benchmark run wherever the others do.
[[ " ${wanted[*]} " == *" test "* || " ${wanted[*]} " == *" bench "* ]] && wanted+=(wayland)
packages=()
for group in "${wanted[@]}"; do
  [ -n "${groups[$group]:-}" ] || { echo "deps: no group '$group' (groups: ${all_groups[*]})" >&2; exit 2; }
  for p in ${groups[$group]}; do
    [[ " ${packages[*]} " == *" $p "* ]] || packages+=("$p")
  done
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && { echo "deps: all ${#packages[@]} packages of ${wanted[*]} present"; exit 0; }

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "deps: installing ${missing[*]}"

# avahi-daemon, redis-server and haproxy are here for the tests (and the screenshots) only, which run
# private copies of their own (avahi-daemon inside a network namespace, the others on loopback ports). Their packages would start
# system-wide daemons (avahi-daemon announces this machine on every real interface) and enable them for the
# next boot. When this script installs them, a policy-rc.d keeps the package scripts from starting them
# (invoke-rc.d and deb-systemd-invoke both ask that file), and afterwards their units are disabled so that
# nothing starts them later (boot, socket or D-Bus activation). A machine that already had one keeps it as it was.
test_daemons=()
for daemon in avahi-daemon redis-server haproxy; do
  [[ " ${missing[*]} " == *" $daemon "* ]] && test_daemons+=("$daemon")
done
policy=/usr/sbin/policy-rc.d
saved_policy="$policy.pellora-saved"
policy_written=false
refuses_test_daemons() {
  [ -x "$policy" ] || return 1
  local daemon status
  for daemon in "${test_daemons[@]}"; do
    status=0
    "$policy" "$daemon" start >/dev/null 2>&1 || status=$?
    [ "$status" -eq 101 ] || return 1
  done
}
restore_policy() {
  $policy_written || return 0
  $sudo rm -f "$policy"
  if [ -e "$saved_policy" ]; then $sudo mv -f "$saved_policy" "$policy"; fi
}
if [ ${#test_daemons[@]} -gt 0 ] && ! refuses_test_daemons; then
  # Docker's own policy already refuses every start; anywhere else a wrapper refuses these daemons only and
  # leaves every other decision to the policy that was there (if any).
  if [ -e "$policy" ]; then $sudo mv -f "$policy" "$saved_policy"; fi
  policy_written=true
  trap restore_policy EXIT
  printf '%s\n' '#!/bin/sh' \
    '# Written by install-deps.sh for the duration of one install: test-only daemons are never started.' \
    'for arg in "$@"; do case "$arg" in avahi-daemon*|redis-server*|haproxy*) exit 101 ;; esac; done' \
    "[ -x $saved_policy ] && exec $saved_policy \"\$@\"" \
    'exit 0' | $sudo tee "$policy" >/dev/null
  $sudo chmod 755 "$policy"
fi

$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"

for daemon in "${test_daemons[@]}"; do
  units=("$daemon.service")
  [ "$daemon" = avahi-daemon ] && units+=(avahi-daemon.socket)
  # systemctl disables offline too (systemd installed but not running, as in containers).
  if [ -d /run/systemd/system ]; then
    $sudo systemctl disable --now "${units[@]}" >/dev/null 2>&1 || true
  elif command -v systemctl >/dev/null; then
    $sudo systemctl disable "${units[@]}" >/dev/null 2>&1 || true
  fi
  if [ -x "/etc/init.d/$daemon" ]; then $sudo update-rc.d "$daemon" disable >/dev/null 2>&1 || true; fi
  echo "deps: $daemon is installed for the tests and left disabled; 'systemctl enable --now $daemon' starts it for this machine"
done

# pipewire and wireplumber are here for the Wayland tests, which run private copies inside their own session
# bus. Their packages enable per-user units for every login; when this script installed them, those are
# disabled again, so that nothing starts them for this machine's users. A machine that had them keeps them.
user_units=()
[[ " ${missing[*]} " == *" pipewire "* ]] && user_units+=(pipewire.service pipewire.socket)
[[ " ${missing[*]} " == *" wireplumber "* ]] && user_units+=(wireplumber.service)
if [ ${#user_units[@]} -gt 0 ] && command -v systemctl >/dev/null; then
  $sudo systemctl --global disable "${user_units[@]}" >/dev/null 2>&1 || true
  echo "deps: ${user_units[*]} installed for the tests and left disabled for user logins"
fi
