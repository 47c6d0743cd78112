#!/usr/bin/env bash
# Renders every window of the desktop app at 1920×1080 under a private Xvfb into docs/screenshots/*.png,
# with live sessions: a relay on loopback; the app sharing (online identity) with a headless viewer
# connected to it (chat, a file); and the app's own session window on a synthetic host (chat, a file).
# Three looks, each in a run of its own:
#   bare     (NAME.png)          no window manager and no desktop settings: the app's own look alone;
#   desktop  (desktop-NAME.png)  a window manager, on a GNOME-like desktop with its icon theme installed;
#   dark     (dark-NAME.png)     the window manager on a desktop with a dark palette (the main window).
# Everything runs in a temporary HOME with file-based secrets and only on loopback. Run it again whenever
# a window changes (`make screenshots`). Needs the release build (pellora, pellora-relay, grab-screen) and
# the packages of install-deps.sh's screenshots group. SCREENSHOTS_VARIANTS="bare dark" renders a subset.
set -euo pipefail
cd "$(dirname "$0")/.."

# As root the whole run moves into a private network of its own with an avahi-daemon (the mDNS tests'
# namespace), so that a second host shows up among the nearby devices without any multicast reaching
# this machine's real network. Elsewhere the nearby list stays empty.
if [ "$(id -u)" = 0 ] && [ -z "${PELLORA_MDNS_AVAHI_CONF:-}" ] && [ -z "${SCREENSHOTS_NO_NEARBY:-}" ]; then
  status=0
  tests/platform/linux/mdns_netns.sh "$0" "$@" || status=$?
  [ "$status" -ne 77 ] && exit "$status"
  echo "screenshots: no private network; the nearby list stays empty"
  export SCREENSHOTS_NO_NEARBY=1
fi

# One run per look, each with its own X server and processes.
if [ -z "${SCREENSHOTS_VARIANT:-}" ]; then
  for variant in ${SCREENSHOTS_VARIANTS:-bare desktop dark}; do
    SCREENSHOTS_VARIANT=$variant "$0" "$@"
  done
  exit 0
fi
variant=$SCREENSHOTS_VARIANT
case "$variant" in
  bare) prefix="" ;;
  desktop | dark) prefix="$variant-" ;;
  *) echo "screenshots: no look '$variant' (bare, desktop, dark)" >&2; exit 2 ;;
esac

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
  if [ -n "${SCREENSHOTS_KEEP:-}" ]; then echo "screenshots: logs kept in $work"; else rm -rf "$work"; fi
}
trap stop_all EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
source scripts/local_relay.sh

# A private X server on a display number it chooses itself.
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
wait_until grep -q . "$work/display"
display=$(head -1 "$work/display")
export DISPLAY=":$display"
wait_until xdotool getdisplaygeometry >/dev/null 2>&1

export HOME="$work/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache"
export XDG_DOWNLOAD_DIR="$HOME/Downloads"
export PELLORA_SECRET_STORE=file PELLORA_REDUCE_MOTION=1
mkdir -p "$XDG_CONFIG_HOME/pellora" "$HOME/Downloads"
unset XDG_CURRENT_DESKTOP KDE_SESSION_VERSION QT_QPA_PLATFORMTHEME QT_STYLE_OVERRIDE

# The desktop around the app: a window manager (title bars, focus, placement) and the desktop's settings
# that Qt reads: GNOME's with its icon theme, or a dark palette as a KDE desktop keeps it in kdeglobals.
if [ "$variant" != bare ]; then
  command -v openbox >/dev/null || { echo "screenshots: openbox is missing (install-deps.sh screenshots)" >&2; exit 2; }
  openbox --sm-disable >"$work/openbox.log" 2>&1 &
  pids+=($!)
  sleep 1
fi
if [ "$variant" = desktop ]; then
  export XDG_CURRENT_DESKTOP=GNOME
fi
if [ "$variant" = dark ]; then
  export XDG_CURRENT_DESKTOP=KDE KDE_SESSION_VERSION=5
  # Dark backgrounds with light text for windows, views, buttons and tool tips; a blue selection.
  {
    printf '[General]\nColorScheme=BreezeDark\n'
    for section in "Window 32,35,38" "View 27,30,32" "Button 41,44,48" "Tooltip 41,44,48"; do
      read -r name background <<<"$section"
      printf '\n[Colors:%s]\nBackgroundNormal=%s\nForegroundNormal=234,236,238\n' "$name" "$background"
    done
    printf '\n[Colors:Selection]\nBackgroundNormal=61,174,233\nForegroundNormal=255,255,255\n'
  } >"$XDG_CONFIG_HOME/kdeglobals"
fi

start_local_relay

# A nearby host, announced on the private network under a name of its own.
if [ -n "${PELLORA_MDNS_AVAHI_CONF:-}" ]; then
  "$PELLORA_MDNS_AVAHI_DAEMON" -f "$PELLORA_MDNS_AVAHI_CONF" --no-drop-root --no-chroot >"$work/avahi.log" 2>&1 &
  pids+=($!)
  sleep 1
  unshare --uts sh -c 'hostname atolye-pc && exec "$0" "$@"' "$bin/pellora" host --source synthetic \
    --listen "127.0.0.1:$(free_port)" --password atolye-parola --no-relay --approve never \
    </dev/null >"$work/nearby.log" 2>&1 &
  pids+=($!)
fi

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
  "$bin/pellora" >"$work/app.log" 2>&1 &
pids+=($!)

window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1; }
# The dark look is the main window's only.
shot() {
  if [ "$variant" = dark ] && [[ "$1" != main-* ]]; then return 0; fi
  sleep "${2:-1}"
  "$grab" "$out/$prefix$1.png" 2>/dev/null
  echo "screenshots: $out/$prefix$1.png"
}
# Without a window manager every window opens at 0,0: place them (a window manager is asked the same).
place() {
  xdotool windowmove "$1" "$2" "$3"
  xdotool windowraise "$1"
  [ "$variant" = bare ] || xdotool windowactivate --sync "$1" 2>/dev/null || true
}
# A click at a position inside a window (window-relative logical pixels; a window manager's frame aside).
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; }

wait_until window '^Pellora$' >/dev/null
main=$(window '^Pellora$')
place "$main" 510 220
shot main-connect 2

# A viewer calls the app: the approval panel asks.
printf 'Sunum taslağı\n' >"$work/sunum-taslak.txt"
mkfifo "$work/viewer-chat"
exec 8<>"$work/viewer-chat"
"$bin/pellora" connect "127.0.0.1:$app_port" --headless --password kahve-1234 --send "$work/sunum-taslak.txt" \
  <&8 >"$work/viewer.log" 2>&1 &
pids=($! "${pids[@]}")
wait_until window 'Bağlantı isteği' >/dev/null
panel=$(window 'Bağlantı isteği')
place "$panel" 740 330
shot approval 1
# Allowing takes a deliberate act: Tab to "Reddet", Tab to "İzin ver", Space.
xdotool windowfocus --sync "$panel" 2>/dev/null || true
xdotool key --window "$panel" Tab Tab space
wait_until grep -q 'Connected to' "$work/viewer.log"
echo "Merhaba, dosyayı gönderdim." >&8

# The Host tab with the session, its chat and the received file.
click "$main" 100 162  # Bu bilgisayar
sleep 1
click "$main" 501 248  # Sohbet (1)
shot main-host 2

# Settings, from the keyboard shortcut.
xdotool windowfocus --sync "$main" 2>/dev/null || true
xdotool key --window "$main" ctrl+comma
# Sent to a window that is not the focused one, the release may not reach the server, which would then
# repeat the key into whatever has the keyboard next.
xdotool keyup ctrl comma
wait_until window '^Ayarlar$' >/dev/null
xdotool windowunmap "$main"
place "$(window '^Ayarlar$')" 640 270
shot settings 1
xdotool windowunmap "$(window '^Ayarlar$')"

# The app's session window on the synthetic host, with a chat line and a file on its way.
printf 'Toplantı notları\n' >"$work/notlar.txt"
"$bin/pellora" connect "127.0.0.1:$host_port" --password studio-parola --send "$work/notlar.txt" \
  >"$work/window.log" 2>&1 &
pids=($! "${pids[@]}")
wait_until window '^vm$|^127\.0\.0\.1' >/dev/null
sleep 2
remote=$(xdotool search --onlyvisible --name "$(grep -o 'Connected to [^ ]*' "$work/viewer.log" | head -1 | cut -d' ' -f3)" | tail -1)
[ -n "$remote" ] || remote=$(window '^127\.0\.0\.1')
place "$remote" 320 130
echo "Merhaba! Notları aldım, teşekkürler." >&7
click "$remote" 827 20  # Sohbet
shot remote-window 2
