#!/usr/bin/env bash
# keltup as a screen reader finds it: on a display and a D-Bus session of its own, with the
# accessibility bus, a notification area and keltup-server on 127.0.0.1, every dialog is opened
# (the viewer with a message, compose, settings, About) and accessibility.py checks that every
# control that takes the focus has a name, that each field is named after its label and labelled
# by it, and that no name carries a line break. Buttons are pressed through the bus, as a screen
# reader presses them.
# Usage: accessibility.sh KELTUP KELTUP-SERVER KELTUP-SEND
set -uo pipefail
if [ -z "${KELTUP_A11Y_SESSION:-}" ]; then
    KELTUP_A11Y_SESSION=1 exec dbus-run-session -- "$0" "$@" 2>&1
fi
keltup=$1 server=$2 send=$3
here=$(cd "$(dirname "$0")" && pwd)
atspi() { /usr/bin/python3 "$here/accessibility.py" "$alice" "$@"; }
. "$(dirname "$0")/harness.sh"
desktop_with_tray

base=$((20000 + RANDOM % 20000))
sport=$base aport=$((base + 1))
printf 'ALICE = 127.0.0.1:%s\n' "$aport" >"$work/users"
"$server" --bind 127.0.0.1 --port "$sport" --users "$work/users" --control "$work/control" --state none >"$work/server.log" 2>&1 &
pids+=($!)
printf '[settings]\nservername=127.0.0.1\nnick=ALICE\nlocalport=%s\nremoteport=%s\npopup=1\n' \
    "$aport" "$sport" >"$work/alice.ini"
mkdir -m 700 "$work/rt"
QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 XDG_RUNTIME_DIR="$work/rt" "$keltup" "$work/alice.ini" \
    >"$work/alice.log" 2>&1 &
alice=$!
pids+=($alice)

visible() { xdotool search --onlyvisible --pid "$alice" 2>/dev/null | wc -l; }
menu() { # KEY: chooses from the tray icon's menu
    local X Y WIDTH HEIGHT SCREEN WINDOW before
    before=$(visible)
    eval "$(xdotool getwindowgeometry --shell "$(icon_of "$alice")")"
    xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 3
    wait_for 5 eval '[ "$(visible)" -gt "$before" ]' || fail "the tray menu did not open"
    xdotool key "$1"
}
# The tray icon is not on the accessibility bus; notification areas read its window's name.
tray_says() { [ "$(xdotool getwindowname "$(icon_of "$alice")" 2>/dev/null)" = "$1" ]; }
wait_for 15 icon_of "$alice" || fail "the icon did not dock"
wait_for 5 tray_says "KelTup" || fail "the tray icon is not named KelTup"

# The viewer with a message, then compose from its Send, both closed with their buttons.
"$send" --server 127.0.0.1 --port "$sport" --from CAROL ALICE "hello from a script" \
    >"$work/send.log" 2>&1 || fail "keltup-send got no receipt"
atspi check viewer || fail "the viewer"
wait_for 5 tray_says "KelTup - 1 message waiting" || fail "the tray icon does not say a message waits"
atspi press "KelTup - 1 Messages" Send || fail "pressing the viewer's Send"
atspi check compose || fail "the compose dialog"
atspi press "KelTup" Cancel || fail "pressing compose's Cancel"
atspi gone "KelTup" || fail "compose stayed open"
atspi press "KelTup - 1 Messages" Close || fail "pressing the viewer's Close"
atspi gone "KelTup - 1 Messages" || fail "the viewer stayed open"

# Settings and About from the tray menu.
menu e
atspi check settings || fail "the settings dialog"
atspi press "KelTup - Settings" Cancel || fail "pressing the settings' Cancel"
atspi gone "KelTup - Settings" || fail "the settings dialog stayed open"
menu a
atspi check about || fail "the About box"
atspi press "About KelTup" OK || fail "pressing About's OK"
atspi gone "About KelTup" || fail "the About box stayed open"

kill -TERM "$alice"
wait "$alice"
code=$?
[ $code -eq 0 ] || fail "keltup ended with code $code"
echo "accessibility: passed"
