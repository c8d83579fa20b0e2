#!/usr/bin/env bash
# A group message end to end: keltup-send writes to the group SALES through keltup-server on
# 127.0.0.1, and the viewers of two real clients, its members, pop up with From: the sender and
# To: the group, read as a screen reader reads them.
# Usage: groups_end_to_end.sh KELTUP KELTUP-SERVER KELTUP-SEND
set -uo pipefail
if [ -z "${KELTUP_GROUPS_SESSION:-}" ]; then
    KELTUP_GROUPS_SESSION=1 exec dbus-run-session -- "$0" "$@" 2>&1
fi
keltup=$1 server=$2 send=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/harness.sh"
desktop_with_tray

# The relay on a free high port, both clients listed, the sender learned from its message.
base=$((20000 + RANDOM % 20000))
sport=$base bport=$((base + 1)) cport=$((base + 2))
printf 'BOB = 127.0.0.1:%s\nCAROL = 127.0.0.1:%s\ngroup SALES = ALICE BOB CAROL\n' \
    "$bport" "$cport" >"$work/users"
"$server" --bind 127.0.0.1 --port "$sport" --users "$work/users" --control "$work/control" --state none \
    --verbose >"$work/server.log" 2>&1 &
pids+=($!)
wait_for 10 grep -q 'started on' "$work/server.log" || fail "keltup-server did not start"

member() { # NAME NICK PORT: a client with its own settings file and session folder
    printf '[settings]\nservername=127.0.0.1\nnick=%s\nlocalport=%s\nremoteport=%s\npopup=1\n' \
        "$2" "$3" "$sport" >"$work/$1.ini"
    mkdir -m 700 "$work/rt-$1"
    QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 XDG_RUNTIME_DIR="$work/rt-$1" "$keltup" "$work/$1.ini" \
        >"$work/$1.log" 2>&1 &
}
member bob BOB "$bport"
bob=$!
pids+=($bob)
member carol CAROL "$cport"
carol=$!
pids+=($carol)
shown() { # PID TITLE: a window of that process with exactly that title is on the screen
    local w
    for w in $(xdotool search --onlyvisible --name "^$2\$" 2>/dev/null); do
        [ "$(xdotool getwindowpid "$w" 2>/dev/null)" = "$1" ] && return 0
    done
    return 1
}
# Both are up once their hidden windows exist; the notification area is not needed here.
wait_for 15 eval 'xdotool search --pid "$bob" >/dev/null && xdotool search --pid "$carol" >/dev/null' ||
    fail "the clients did not start"

"$send" --server 127.0.0.1 --port "$sport" --from ALICE SALES "sales meeting at three" \
    >"$work/send.log" 2>&1 || fail "keltup-send to the group did not exit 0"
grep -q 'Message Sent' "$work/send.log" || fail "keltup-send did not say Message Sent"
for who in bob carol; do
    pid=${!who}
    wait_for 15 shown "$pid" "KelTup - 1 Messages" || fail "$who's viewer did not pop up"
    /usr/bin/python3 "$here/viewer_fields.py" "$pid" "KelTup - 1 Messages" >"$work/$who-fields.log" 2>&1 ||
        fail "$who's viewer is not on the accessibility bus"
    grep -qP '^From\b.*\tALICE$' "$work/$who-fields.log" || fail "$who's viewer does not show From: ALICE"
    grep -qP '^To\b.*\tSALES$' "$work/$who-fields.log" || fail "$who's viewer does not show To: SALES"
    grep -q 'sales meeting at three' "$work/$who-fields.log" || fail "$who's viewer lacks the text"
done
grep -q 'ALICE -> SALES: group' "$work/server.log" || fail "the relay did not log the group message"

end_clients "$bob" "$carol"
echo "groups end to end: passed"
