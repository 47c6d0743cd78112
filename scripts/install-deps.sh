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
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && { echo "deps: all ${#packages[@]} packages present"; exit 0; }

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "deps: installing ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
