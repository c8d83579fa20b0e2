#!/usr/bin/env bash
# keltup and the relay in two network namespaces joined by a veth pair: keltup's address changes
# and messages still go both ways; then 2,000 unanswered notices leave eight boxes open.
# Needs root and `ip` (else exit 77, skipped).
# Usage: endure.sh KELTUP KELTUP-SERVER KELTUP-SEND
set -uo pipefail
keltup=$1 server=$2 send=$3
. "$(dirname "$0")/harness.sh"
srv=keltup-srv-$$ cli=keltup-cli-$$
ip netns add "$srv" && ip netns add "$cli" ||
    { ip netns del "$srv" 2>/dev/null; echo "SKIPPED: no network namespaces (root and ip needed)"; exit 77; }
trap 'cleanup; ip netns del "$srv"; ip netns del "$cli"' EXIT
trap 'exit 1' INT TERM
ip link add ktsrv$$ netns "$srv" type veth peer name ktcli$$ netns "$cli" || fail "no veth pair"
for end in "$srv ktsrv$$ 1" "$cli ktcli$$ 2"; do
    set -- $end
    ip -n "$1" addr add "10.231.0.$3/24" dev "$2" && ip -n "$1" link set lo up && ip -n "$1" link set "$2" up
done
desktop_with_tray x11

sport=4099 aport=4100
printf 'ALICE = 10.231.0.2:%s\n' "$aport" >"$work/users"
ip netns exec "$srv" "$server" --bind 10.231.0.1 --port "$sport" --users "$work/users" \
    --state none --verbose --control "$work/control" >"$work/server.log" 2>&1 &
relay=$! && pids+=($relay)
wait_for 10 grep -q 'started on' "$work/server.log" || fail "keltup-server did not start"
printf '[settings]\nservername=10.231.0.1\nnick=ALICE\nlocalport=%s\nremoteport=%s\npopup=1\n' \
    "$aport" "$sport" >"$work/alice.ini"
mkdir -m 700 "$work/rt"
XDG_RUNTIME_DIR="$work/rt" ip netns exec "$cli" "$keltup" "$work/alice.ini" >"$work/alice.log" 2>&1 &
alice=$! && pids+=($alice)
wait_for 15 icon_of "$alice" || fail "ALICE's icon did not dock"

ip -n "$cli" addr del 10.231.0.2/24 dev ktcli$$ && ip -n "$cli" addr add 10.231.0.3/24 dev ktcli$$
printf 'ALICE = 10.231.0.3:%s\n' "$aport" >"$work/users"
kill -HUP "$relay"
wait_for 10 eval '[ "$(grep -c "users listed" "$work/server.log")" -ge 2 ]' || fail "the relay did not reload"
moved() { ip netns exec "$cli" ss -Huan state established | grep -q "10\.231\.0\.3:$aport "; }
wait_for 5 moved || fail "keltup's socket stayed at the old address"
ip netns exec "$srv" "$send" --server 10.231.0.1 --port "$sport" --from DAVE ALICE "welcome back" \
    >"$work/send.log" 2>&1 || fail "keltup-send got no receipt"
wait_for 10 window "$alice" "KelTup - 1 Messages" || fail "the message did not reach the new address"

# The viewer's Send (its fifth control), a body, the compose dialog's Send.
keys "$(window "$alice" "KelTup - 1 Messages")" Tab Tab Tab Tab space
wait_for 10 window "$alice" KelTup || fail "the compose dialog did not open from the viewer"
keys "$(window "$alice" KelTup)" Tab && xdotool type --delay 10 "sent from my new address"
xdotool key Tab space
wait_for 10 window "$alice" "Send Message" || fail "no outcome box"
grep -q "10\.231\.0\.3:$aport: ALICE -> DAVE: delivered" "$work/server.log" ||
    fail "the relay did not hear ALICE's answer from her new address"
keys "$(window "$alice" "Send Message")" Return

# The storm: eight notices and time for their boxes, then the rest in batches the socket holds.
kill "$relay" && wait "$relay" 2>/dev/null
notices() { # FIRST END: notices FIRST to END - 1 from the relay's address
    ip netns exec "$srv" python3 - "$sport" "$aport" "$1" "$2" <<'PY'
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("10.231.0.1", int(sys.argv[1])))
head = b"KT1A\0\0" + b"SERVER".ljust(20, b"\0") + b"ALICE".ljust(20, b"\0") + bytes(30)
for i in range(int(sys.argv[3]), int(sys.argv[4])):
    s.sendto(head + b"notice %d\0" % i, ("10.231.0.3", int(sys.argv[2])))
    time.sleep(0.5 if i % 150 == 149 else 0)
PY
}
boxes() { # the notice boxes open (her dialogs titled KelTup), newest last
    for w in $(xdotool search --all --pid "$alice" --name '^KelTup$' | sort -n); do
        xprop -id "$w" _NET_WM_WINDOW_TYPE 2>/dev/null | grep -q _DIALOG && echo "$w"; done
}
notices 0 8 || fail "the stand-in server failed"
wait_for 15 eval '[ "$(boxes | wc -l)" = 8 ]' || fail "the first eight notices did not show"
notices 8 2000 || fail "the stand-in server failed"
kill -0 "$alice" || fail "keltup did not survive the notices"
top=$(boxes | tail -1) && keys "$top" Return
wait_for 5 eval '! boxes | grep -qx "$top"' || fail "the newest box did not close"
wait_for 5 eval '[ "$(boxes | wc -l)" = 8 ]' || fail "a closed box did not give way to the next notice"
echo "endure: passed"
