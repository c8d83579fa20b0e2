#!/usr/bin/env bash
# keltup-autostart with the network coming up late, in a network namespace of the test's own: the
# server's name resolves first (an /etc/hosts line, in a mount namespace of its own), the route to
# it comes a moment later, and only then does the stand-in for keltup start. A first run starts it
# without waiting, and a server that never comes within the wait starts it all the same.
# Usage (as root): autostart_wait.sh KELTUP-AUTOSTART
set -uo pipefail
wrapper=$(realpath "$1")
[ "$(id -u)" -eq 0 ] || { echo "skipped: a network namespace needs root"; exit 77; }
. "$(dirname "$0")/harness.sh"
ns=keltup-autostart-$$
ip netns add "$ns" || { echo "skipped: no network namespaces here"; exit 77; }
trap 'cleanup; ip netns del "$ns"' EXIT
ip -n "$ns" link set lo up

# The stand-in records what it found of the network as it started, and its arguments.
cat >"$work/keltup" <<STANDIN
#!/bin/sh
{ getent ahostsv4 relay.keltup.test >/dev/null && echo name || echo no-name
  ip route get 192.0.2.10 >/dev/null 2>&1 && echo route || echo no-route
  echo "args: \$*"; } >"$work/started.tmp"
mv "$work/started.tmp" "$work/started"
STANDIN
chmod +x "$work/keltup"
echo '127.0.0.1 localhost' >"$work/hosts"
echo 'nameserver 127.0.0.1' >"$work/resolv.conf" # nothing answers there: lookups fail at once
mkdir -p "$work/home/.config/keltup"
printf '[settings]\nservername=relay.keltup.test\nremoteport=99\n' >"$work/home/.config/keltup/KELTUP.INI"
printf '[settings]\nservername=never.keltup.test\n' >"$work/never.ini"

# autostart HOME WAIT [ARGS...]: the wrapper in the namespace, in the background.
autostart() {
    rm -f "$work/started"
    ip netns exec "$ns" unshare --mount --propagation private sh -c '
        mount --bind "$1/hosts" /etc/hosts && mount --bind "$1/resolv.conf" /etc/resolv.conf &&
        shift && HOME=$1 && shift && export HOME && unset XDG_CONFIG_HOME && exec "$@"' \
        sh "$work" "$1" "$wrapper" --wait "$2" --program "$work/keltup" "${@:3}" \
        >"$work/autostart.log" 2>&1 &
    pids+=($!)
}
started() { [ "$(cat "$work/started" 2>/dev/null | tr '\n' ' ')" = "$1 " ]; }

# The network comes late: no name and no route, then the name, then the route.
autostart "$work/home" 60
sleep 1.5
[ -e "$work/started" ] && fail "keltup started with neither the name nor a route"
echo '192.0.2.10 relay.keltup.test' >>"$work/hosts"
sleep 1.5
[ -e "$work/started" ] && fail "keltup started before there was a route to the server"
ip -n "$ns" address add 192.0.2.1/24 dev lo # the namespace's own network, as a lease would give
wait_for 10 test -e "$work/started" || fail "keltup did not start once the server could be reached"
started "name route args: " || fail "keltup started too early: $(cat "$work/started")"

# A first run (no settings file) does not wait for anything.
autostart "$work/nobody" 600
wait_for 10 test -e "$work/started" || fail "a first run waited"

# A server that never comes: keltup starts when the wait runs out, with the settings file named.
autostart "$work/home" 1 "$work/never.ini"
wait_for 10 test -e "$work/started" || fail "keltup did not start when the wait ran out"
grep -qx "args: $work/never.ini" "$work/started" || fail "unexpected start: $(cat "$work/started")"
grep -q 'never.keltup.test port 99 not reachable after 1 s' "$work/autostart.log" ||
    fail "no word about the unreachable server"
echo "autostart wait: passed"
