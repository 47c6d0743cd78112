#!/usr/bin/env bash
# Installs every Debian package Pellora needs to build, test, benchmark and fuzz.
# Idempotent: nothing happens when every package is present; otherwise one `apt-get update`, one install.
set -euo pipefail

packages=(
  # toolchain and test frameworks
  build-essential cmake ninja-build ccache pkg-config git python3
  # coverage reports (make coverage)
  gcovr
  clang-14 libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # core: async I/O, HTTP, URL, JSON, crypto, Unicode, audio codec
  libboost1.81-dev libboost-url1.81-dev libboost-json1.81-dev
  libssl-dev libutf8proc-dev libopus-dev
  # command lines of pellora and pellora-relay
  libboost-program-options1.81-dev
  # host media: video codecs, pixel conversion, JPEG, X11 capture and injection, sound
  libavcodec-dev libavutil-dev libyuv-dev libturbojpeg0-dev ffmpeg
  libxcb1-dev libxcb-shm0-dev libxcb-damage0-dev libxcb-xfixes0-dev libxcb-randr0-dev libxcb-xtest0-dev
  libxcb-xkb-dev libpulse-dev
  # screensaver suspend, the fallback that keeps the display awake without a session bus
  libxcb-screensaver0-dev
  # relay store and secrets
  libsqlite3-dev libsecret-1-dev
  # session bus (GDBus), with descriptors passed over it (gio-unix): screensaver, Wayland sessions
  libglib2.0-dev
  # relay cluster: shared store client (Redis through hiredis)
  libhiredis-dev
  # desktop app: Qt 6 widgets and SVG icons
  qt6-base-dev qt6-svg-dev libxkbcommon-dev
  # desktop app: the desktop's event sounds (a chat line arriving)
  libcanberra-dev
  # packaging: .deb dependencies from dpkg-shlibdeps
  dpkg-dev fakeroot
  # packaging: CPack finds the ELF files to hand to dpkg-shlibdeps with file(1); minimal systems lack it
  file
  # integration tests: a virtual X server, a sound server, a CA for TLS tests
  xvfb x11-utils xdotool pulseaudio openssl
  # LAN announcement and discovery: the Avahi client library
  libavahi-client-dev
  # mDNS tests: a private mDNS daemon and system bus inside a network namespace with a veth pair
  avahi-daemon dbus iproute2
  # relay cluster tests: the shared store and a TCP load balancer in front of the nodes (private copies)
  redis-server haproxy
  # Wayland capture: PipeWire video streams (client library)
  libpipewire-0.3-dev
  # Wayland tests: a headless compositor with the screen-cast and remote-desktop interfaces, the media
  # server and its session manager (private copies started by the tests; the packages only ship per-user units)
  mutter pipewire wireplumber
  # Wayland tests: the test client that draws known pictures and records input is a Qt Wayland client
  qt6-wayland
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && { echo "deps: all ${#packages[@]} packages present"; exit 0; }

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "deps: installing ${missing[*]}"

# avahi-daemon, redis-server and haproxy are here for the tests only, which run private copies of their
# own (avahi-daemon inside a network namespace, the others on loopback ports). Their packages would start
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
