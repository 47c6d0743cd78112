#!/usr/bin/env bash
# Installs every Debian package Pellora needs to build, test, benchmark and fuzz.
# Idempotent: nothing happens when every package is present; otherwise one `apt-get update`, one install.
set -euo pipefail

packages=(
  # toolchain and test frameworks
  build-essential cmake ninja-build ccache pkg-config git python3
  clang-14 libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # core: async I/O, HTTP, URL, JSON, crypto, Unicode, audio codec
  libboost1.81-dev libboost-url1.81-dev libboost-json1.81-dev
  libssl-dev libutf8proc-dev libopus-dev
  # host media: video codecs, pixel conversion, JPEG, X11 capture and injection, sound
  libavcodec-dev libavutil-dev libyuv-dev libturbojpeg0-dev ffmpeg
  libxcb1-dev libxcb-shm0-dev libxcb-damage0-dev libxcb-xfixes0-dev libxcb-randr0-dev libxcb-xtest0-dev
  libxcb-xkb-dev libpulse-dev
  # screensaver suspend, the fallback that keeps the display awake without a session bus
  libxcb-screensaver0-dev
  # relay store and secrets
  libsqlite3-dev libsecret-1-dev
  # integration tests: a virtual X server, a sound server, a CA for TLS tests
  xvfb x11-utils xdotool pulseaudio openssl
  # LAN announcement and discovery: the Avahi client library
  libavahi-client-dev
  # mDNS tests: a private mDNS daemon and system bus inside a network namespace with a veth pair
  avahi-daemon dbus iproute2
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && { echo "deps: all ${#packages[@]} packages present"; exit 0; }

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "deps: installing ${missing[*]}"

# avahi-daemon is here for the mDNS tests only, which run their own copy inside a network namespace. Its
# package would start a system-wide daemon that announces this machine on every real interface, and enable
# it for the next boot. When this script installs it, a policy-rc.d keeps the package scripts from starting
# it (invoke-rc.d and deb-systemd-invoke both ask that file), and afterwards its units are disabled so that
# nothing starts it later (boot, socket or D-Bus activation). A machine that already had it keeps it as it was.
installing_avahi=false
[[ " ${missing[*]} " == *" avahi-daemon "* ]] && installing_avahi=true
policy=/usr/sbin/policy-rc.d
saved_policy="$policy.pellora-saved"
policy_written=false
refuses_avahi() {
  [ -x "$policy" ] || return 1
  local status=0
  "$policy" avahi-daemon start >/dev/null 2>&1 || status=$?
  [ "$status" -eq 101 ]
}
restore_policy() {
  $policy_written || return 0
  $sudo rm -f "$policy"
  if [ -e "$saved_policy" ]; then $sudo mv -f "$saved_policy" "$policy"; fi
}
if $installing_avahi && ! refuses_avahi; then
  # Docker's own policy already refuses every start; anywhere else a wrapper refuses avahi-daemon only and
  # leaves every other decision to the policy that was there (if any).
  if [ -e "$policy" ]; then $sudo mv -f "$policy" "$saved_policy"; fi
  policy_written=true
  trap restore_policy EXIT
  printf '%s\n' '#!/bin/sh' \
    '# Written by install-deps.sh for the duration of one install: avahi-daemon is never started.' \
    'for arg in "$@"; do case "$arg" in avahi-daemon*) exit 101 ;; esac; done' \
    "[ -x $saved_policy ] && exec $saved_policy \"\$@\"" \
    'exit 0' | $sudo tee "$policy" >/dev/null
  $sudo chmod 755 "$policy"
fi

$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"

if $installing_avahi; then
  # systemctl disables offline too (systemd installed but not running, as in containers).
  if [ -d /run/systemd/system ]; then
    $sudo systemctl disable --now avahi-daemon.socket avahi-daemon.service >/dev/null 2>&1 || true
  elif command -v systemctl >/dev/null; then
    $sudo systemctl disable avahi-daemon.socket avahi-daemon.service >/dev/null 2>&1 || true
  fi
  if [ -x /etc/init.d/avahi-daemon ]; then $sudo update-rc.d avahi-daemon disable >/dev/null 2>&1 || true; fi
  echo "deps: avahi-daemon is installed for the tests and left disabled; 'systemctl enable --now avahi-daemon' announces this machine"
fi
