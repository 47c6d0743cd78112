# Sourced by the demo and the screenshots script: waiting, and a pellora-relay of their own on loopback.
# Expects $bin (the built programs), $work (a temporary folder) and the array `pids` (stopped on exit).

# Waits up to 20 s for a command to succeed.
wait_until() {
  for _ in $(seq 200); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

relay_port() { grep -o 'listening on 127\.0\.0\.1:[0-9]*' "$work/relay.log" | grep -o '[0-9]*$'; }

# Starts pellora-relay on a free loopback port with its identities in $work; sets $relay to its URL.
start_local_relay() {
  "$bin/pellora-relay" --listen 127.0.0.1:0 --db "$work/relay.db" </dev/null >"$work/relay.log" 2>&1 &
  pids+=($!)
  wait_until relay_port >/dev/null || { cat "$work/relay.log" >&2; return 1; }
  relay="http://127.0.0.1:$(relay_port)"
}
