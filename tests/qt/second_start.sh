#!/usr/bin/env bash
# keltup on a display without any notification area: starting it again from the application menu
# is the user's only way in, so the second start opens the first copy's compose dialog, or its
# viewer once a message waits, and ends with code 0.
# Usage: second_start.sh KELTUP KELTUP-SERVER KELTUP-SEND
set -uo pipefail
keltup=$1 server=$2 send=$3
. "$(dirname "$0")/harness.sh"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
wait_for 10 test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=":$(head -1 "$work/display")"
wait_for 10 xdotool getdisplaygeometry || fail "Xvfb does not answer"

base=$((20000 + RANDOM % 20000))
sport=$base aport=$((base + 1))
printf 'ALICE = 127.0.0.1:%s\n' "$aport" >"$work/users"
"$server" --bind 127.0.0.1 --port "$sport" --users "$work/users" --control "$work/control" --state none \
    >"$work/server.log" 2>&1 &
pids+=($!)
printf '[settings]\nservername=127.0.0.1\nnick=ALICE\nlocalport=%s\nremoteport=%s\npopup=1\n' \
    "$aport" "$sport" >"$work/alice.ini"
mkdir -m 700 "$work/rt"
XDG_RUNTIME_DIR="$work/rt" "$keltup" "$work/alice.ini" >"$work/alice.log" 2>&1 &
alice=$!
pids+=($alice)
again() { # a second start, which must give way with code 0
    XDG_RUNTIME_DIR="$work/rt" timeout 20 "$keltup" "$work/alice.ini" >"$work/again.log" 2>&1
    local code=$?
    [ $code -eq 0 ] || fail "the second start ended with code $code"
}
press() { # WINDOW KEY
    xdotool windowfocus --sync "$1" 2>/dev/null
    sleep 0.3
    xdotool key $2
}

# The word about the missing notification area; the user reads it and presses OK.
wait_for 10 grep -q 'AppIndicator' "$work/alice.log" || fail "no advice about the missing tray"
wait_for 10 window "$alice" KelTup || fail "no window about the missing tray"
press "$(window "$alice" KelTup)" Return
wait_for 5 eval '! window "$alice" KelTup' || fail "the window about the missing tray stayed up"

# No message waits: the second start opens compose.
again
wait_for 10 window "$alice" KelTup || fail "a second start opened no compose dialog"
press "$(window "$alice" KelTup)" Escape
wait_for 5 eval '! window "$alice" KelTup' || fail "the compose dialog did not close"

# A message arrives and pops up the viewer; the user closes it (Close is the fifth control from the
# body) and the message still waits, so the next start opens the viewer again.
"$send" --server 127.0.0.1 --port "$sport" --from CAROL ALICE "hello" >"$work/send.log" 2>&1 ||
    fail "keltup-send got no receipt"
wait_for 10 window "$alice" "KelTup - 1 Messages" || fail "the viewer did not pop up"
press "$(window "$alice" "KelTup - 1 Messages")" "Tab Tab Tab Tab Tab space"
wait_for 5 eval '! window "$alice" "KelTup - 1 Messages"' || fail "the viewer did not close"
again
wait_for 10 window "$alice" "KelTup - 1 Messages" || fail "a second start opened no viewer"
kill -0 "$alice" || fail "the first copy ended"
echo "second start: passed"
