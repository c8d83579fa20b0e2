#!/usr/bin/env bash
# keltup.exe under Wine writes to a group through the real keltup-server on 127.0.0.1: the compose
# dialog sends to SALES, the outcome box says "Message Sent", and the other member, a socket of
# this script's, receives the copy from the sender to the group. Needs the display and Wine prefix
# that scripts/test sets up, and a native keltup-server (skipped, code 77, without one).
# Usage: groups_e2e.sh WINDOWS-BUILD-WIN32-DIR KELTUP-SERVER
set -uo pipefail
build=$(cd "$1" && pwd)
server=$2
[ -x "$server" ] || { echo "no native keltup-server at $server: skipped"; exit 77; }
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The scratch folder, the processes ended on exit, fail and wait_for.
. "$(cd "$(dirname "$0")/../qt" && pwd)/harness.sh"
drive() { wine "$build/keltup-drive.exe" "$@" 2>>"$work/drive.log" | tr -d '\r'; }

base=$((20000 + RANDOM % 20000))
sport=$base wport=$((base + 1)) bport=$((base + 2))
printf 'WINE = 127.0.0.1:%s\nBOB = 127.0.0.1:%s\ngroup SALES = WINE BOB\n' "$wport" "$bport" \
    >"$work/users"
"$server" --bind 127.0.0.1 --port "$sport" --users "$work/users" --control "$work/control" --state none \
    --verbose >"$work/server.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do grep -q 'started on' "$work/server.log" && break; sleep 0.2; done
grep -q 'started on' "$work/server.log" || fail "keltup-server did not start"

# BOB: the first message-kind datagram that comes, as "KIND SENDER RECIPIENT BODY".
/usr/bin/python3 - "$bport" >"$work/bob.log" 2>&1 <<'EOF' &
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.settimeout(60)
while True:
    d = s.recv(2000)
    if len(d) > 76 and d[3:4] in (b"G", b"M"):
        field = lambda a, b: d[a:b].split(b"\0")[0].decode("ascii", "replace")
        print(chr(d[3]), field(6, 26), field(26, 46), field(76, len(d)), flush=True)
        break
EOF
bob=$!
pids+=($bob)

printf '[settings]\r\nservername=127.0.0.1\r\nnick=WINE\r\nlocalport=%s\r\nremoteport=%s\r\npopup=1\r\n' \
    "$wport" "$sport" >"$work/keltup.ini"
wine "$build/keltup.exe" "$(winepath -w "$work/keltup.ini" 2>/dev/null)" >"$work/keltup.log" 2>&1 &
keltup=$!
pids+=($keltup)

drive tray dblclick || fail "keltup.exe did not start"
drive wait "KelTup" >/dev/null || fail "the compose dialog did not open"
drive set "KelTup" 1001 SALES
drive set "KelTup" 1000 "Stand-up moved to ten."
drive press "KelTup" 1007
drive wait "Send Message" >/dev/null || fail "no outcome box after sending"
outcome=$(drive text "Send Message" 65535)
[ "$outcome" = "Message Sent" ] || fail "the outcome box says \"$outcome\""
drive press "Send Message" 1

wait "$bob" || fail "BOB's socket got nothing"
[ "$(cat "$work/bob.log")" = "G WINE SALES Stand-up moved to ten." ] ||
    fail "BOB got \"$(cat "$work/bob.log")\""
grep -q 'WINE -> SALES: group' "$work/server.log" || fail "the relay did not log the group message"

drive pick x || fail "the tray menu's Exit"
for _ in $(seq 100); do kill -0 "$keltup" 2>/dev/null || break; sleep 0.2; done
kill -0 "$keltup" 2>/dev/null && fail "keltup.exe did not end after Exit"
echo "groups under Wine: passed"
