#!/usr/bin/env bash
# keltup-autostart in network and mount namespaces of its own: a stand-in for keltup starts once
# the server's name resolves and a route to it exists, or when the wait runs out.
# Usage (as root): autostart_wait.sh KELTUP-AUTOSTART
set -uo pipefail
wrapper=$(realpath "$1")
. "$(dirname "$0")/harness.sh"
ns=keltup-autostart-$$
ip netns add "$ns" || { echo "skipped: no network namespace (root needed)"; exit 77; }
trap 'cleanup; ip netns del "$ns"' EXIT
ip -n "$ns" link set lo up
printf '#!/bin/sh\necho "args: $*" >%s\n' "$work/started" >"$work/keltup" && chmod +x "$work/keltup"
echo 'nameserver 127.0.0.1' >"$work/resolv.conf" && touch "$work/hosts" # nothing answers there
mkdir -p "$work/home/.config/keltup" && printf '[settings]\nservername=relay.keltup.test\n' |
    tee "$work/home/.config/keltup/KELTUP.INI" | sed 's/relay/never/' >"$work/never.ini"
autostart() { # WAIT [SETTINGS-FILE]: the wrapper in the namespaces, in the background
    ip netns exec "$ns" unshare --mount sh -c 'mount --bind "$0/hosts" /etc/hosts &&
        mount --bind "$0/resolv.conf" /etc/resolv.conf && HOME=$0/home XDG_CONFIG_HOME= exec "$@"' "$work" \
        "$wrapper" --wait "$1" --program "$work/keltup" "${@:2}" >"$work/autostart.log" 2>&1 &
    pids+=($!)
}

# No name and no route, then the name alone, then the route as well.
autostart 60
sleep 1.5
echo '192.0.2.10 relay.keltup.test' >>"$work/hosts"
sleep 1.5
[ -e "$work/started" ] && fail "keltup started before there was a route to the server"
ip -n "$ns" address add 192.0.2.1/24 dev lo
wait_for 10 grep -qx 'args: ' "$work/started" || fail "keltup did not start once the server could be reached"

# A server that never comes: keltup starts when the wait runs out, given the settings file.
rm "$work/started" && autostart 1 "$work/never.ini"
wait_for 10 grep -qx "args: $work/never.ini" "$work/started" || fail "keltup did not start after the wait"
grep -q 'never.keltup.test port 99 not reachable after 1 s' "$work/autostart.log" || fail "no word"
echo "autostart wait: passed"
