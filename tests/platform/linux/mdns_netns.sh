#!/usr/bin/env bash
# Runs a command inside a private network for mDNS tests, so that no multicast ever reaches this machine's
# real interfaces:
#   - new network, mount and PID namespaces (everything started inside dies with the command);
#   - a veth pair with both ends inside, up, multicast on, with 10.213.0.1/24 on the end mDNS uses
#     (a veth end needs its peer up to carry traffic; dummy links are not available everywhere);
#   - a tmpfs over /run, so that neither the real system bus nor a real avahi-daemon is reachable;
#   - a private system bus (dbus-daemon with a permissive policy), exported as DBUS_SYSTEM_BUS_ADDRESS.
# The avahi-daemon itself is left to the command, which may stop and restart it: its configuration
# (limited to the veth end, IPv4 only, no wide-area) is written for it and named by the environment:
#   PELLORA_MDNS_AVAHI_DAEMON  path of avahi-daemon
#   PELLORA_MDNS_AVAHI_CONF    its configuration, for `avahi-daemon -f CONF --no-drop-root --no-chroot`
#   PELLORA_MDNS_ADDRESS       the address it announces (10.213.0.1)
# Usage: mdns_netns.sh COMMAND [ARGUMENT...]. Exits with the command's status, or 77 with one line
# "mdns_netns: <reason>" on standard output when the private network cannot be set up.
set -uo pipefail

skip() {
  echo "mdns_netns: $*"
  exit 77
}

if [ "${1:-}" != --inside ]; then
  [ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARGUMENT...]" >&2; exit 2; }
  for tool in unshare ip dbus-daemon; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (make deps)"
  done
  [ -x /usr/sbin/avahi-daemon ] || command -v avahi-daemon >/dev/null || skip "avahi-daemon is not installed (make deps)"
  # Root (or CAP_SYS_ADMIN) is needed: inside a user namespace avahi-daemon cannot hand its runtime
  # folder to its own user, and does not start.
  flags=(--net --mount --pid --fork --kill-child --mount-proc)
  reason=$(unshare "${flags[@]}" true 2>&1) || skip "cannot create namespaces (needs root): $reason"
  exec unshare "${flags[@]}" -- "$0" --inside "$@"
fi
shift

link=pl-mdns0
peer=pl-mdns1
address=10.213.0.1
ip link set lo up || skip "cannot bring up the loopback link"
ip link add "$link" type veth peer name "$peer" 2>/dev/null || skip "cannot create a veth pair"
ip link set "$link" multicast on && ip link set "$peer" multicast on &&
  ip addr add "$address/24" dev "$link" && ip addr add 10.213.0.2/24 dev "$peer" &&
  ip link set "$link" up && ip link set "$peer" up || skip "cannot configure the veth pair"
mount -t tmpfs -o mode=755 pellora-mdns /run || skip "cannot mount a tmpfs on /run"
mkdir -p /run/avahi-daemon /run/dbus

work=$(mktemp -d) || skip "no temporary folder"
trap 'rm -rf "$work"' EXIT

cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
    <allow send_type="method_call"/>
  </policy>
</busconfig>
EOF
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile >/dev/null 2>&1 &
for _ in $(seq 100); do
  [ -S "$work/system_bus_socket" ] && break
  sleep 0.05
done
[ -S "$work/system_bus_socket" ] || skip "the private system bus did not start"

cat >"$work/avahi-daemon.conf" <<EOF
[server]
host-name=pellora-mdns-test
use-ipv4=yes
use-ipv6=no
allow-interfaces=$link
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000

[wide-area]
enable-wide-area=no

[publish]
publish-hinfo=no
publish-workstation=no
EOF

export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/system_bus_socket"
export PELLORA_MDNS_AVAHI_DAEMON
PELLORA_MDNS_AVAHI_DAEMON=$(command -v avahi-daemon || echo /usr/sbin/avahi-daemon)
export PELLORA_MDNS_AVAHI_CONF="$work/avahi-daemon.conf"
export PELLORA_MDNS_ADDRESS="$address"
"$@"
