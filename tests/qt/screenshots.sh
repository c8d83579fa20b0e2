#!/usr/bin/env bash
# Takes the pictures in docs/screenshots/qt-*.png: keltup on a display of its own with a window
# manager (openbox) and a notification area (trayer), talking to keltup-server on 127.0.0.1.
# Usage: tests/qt/screenshots.sh KELTUP KELTUP-SERVER KELTUP-SEND [OUTPUT-DIR]
set -uo pipefail
keltup=$1 server=$2 send=$3
outdir=${4:-$(dirname "$0")/../../docs/screenshots}
mkdir -p "$outdir"
. "$(dirname "$0")/harness.sh"

n=160
while [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 800x600x24 -background none -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=":$n"
for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
if command -v openbox >/dev/null; then
    openbox >/dev/null 2>&1 &
    pids+=($!)
fi
trayer --edge bottom --align right --widthtype pixel --width 100 --height 32 \
    --transparent false --tint 0xd4d0c8 >/dev/null 2>&1 &
pids+=($!)
sleep 1

port=$((30000 + RANDOM % 20000))
printf 'ALICE = 127.0.0.1:%s\n' $((port + 1)) >"$work/users"
"$server" --bind 127.0.0.1 --port "$port" --users "$work/users" --control "$work/control" --state none >/dev/null 2>&1 &
pids+=($!)
printf '[settings]\nservername=127.0.0.1\nnick=ALICE\nlocalport=%s\nremoteport=%s\npopup=1\n' \
    $((port + 1)) "$port" >"$work/alice.ini"
mkdir -m 700 "$work/rt"
XDG_RUNTIME_DIR="$work/rt" "$keltup" "$work/alice.ini" >"$work/alice.log" 2>&1 &
alice=$!
pids+=($alice)
sleep 2

window() { # TITLE: keltup's window with exactly that title
    local w
    for w in $(xdotool search --name "^$1\$" 2>/dev/null); do
        [ "$(xdotool getwindowpid "$w" 2>/dev/null)" = "$alice" ] || continue
        # Dialogs and message boxes, not the tray icon's window of the same name.
        xprop -id "$w" _NET_WM_WINDOW_TYPE 2>/dev/null | grep -q _DIALOG && { echo "$w"; return 0; }
    done
    return 1
}
until_window() { for _ in $(seq 50); do window "$1" >/dev/null && return 0; sleep 0.2; done; return 1; }
shot_window() { # TITLE FILE
    local w
    w=$(window "$1") || { echo "no window '$1'" >&2; return 1; }
    xdotool windowactivate --sync "$w" 2>/dev/null || xdotool windowfocus --sync "$w"
    sleep 0.4
    import -frame -window "$w" "$outdir/$2"
}
icon_window() {
    local panel w
    for panel in $(xdotool search --classname '^panel$'); do
        for w in $(xwininfo -tree -id "$panel" | awk '/\("keltup" "keltup"\)/ { print $1 }'); do
            [ "$(xdotool getwindowpid "$w" 2>/dev/null)" = "$alice" ] && { echo "$w"; return 0; }
        done
    done
    return 1
}
shot_tray() { # FILE: the bottom-right corner of the screen, enlarged
    import -window root "$work/root.png"
    convert "$work/root.png" -crop 100x32+700+568 +repage -scale 200% "$outdir/$1"
}

shot_tray qt-tray-off.png
"$send" --server 127.0.0.1 --port "$port" --from BOB ALICE "Lunch at noon? The usual place." >/dev/null 2>&1
until_window "KelTup - 1 Messages"
shot_tray qt-tray-on.png
shot_window "KelTup - 1 Messages" qt-viewer.png

# The reply: the viewer's Send opens the compose dialog with BOB as the recipient.
xdotool key Tab Tab Tab Tab space
until_window "KelTup"
xdotool type --delay 20 "$(printf '\t')"
xdotool type --delay 20 "Yes, see you there."
shot_window "KelTup" qt-compose.png
xdotool key Escape
sleep 0.5

# The viewer's Delete (the one before Send, which has the focus again): the only message goes
# and the viewer with it. Then the tray menu's Settings and About.
w=$(window "KelTup - 1 Messages") && xdotool windowactivate --sync "$w" 2>/dev/null
xdotool key shift+Tab space
sleep 0.5
icon=$(icon_window)
eval "$(xdotool getwindowgeometry --shell "$icon")"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 3
sleep 0.6
import -window root "$work/root.png"
convert "$work/root.png" -crop 200x150+600+450 +repage "$outdir/qt-tray-menu.png"
xdotool key e
until_window "KelTup - Settings"
shot_window "KelTup - Settings" qt-settings.png
xdotool key Escape
sleep 0.5
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 3
sleep 0.6
xdotool key a
until_window "About KelTup"
shot_window "About KelTup" qt-about.png
xdotool key Return
sleep 0.5

# A message box: the outcome of a send to a nickname the server does not know.
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 3
sleep 0.6
xdotool key s
until_window "KelTup"
xdotool type --delay 20 "nobody"
xdotool key Tab
xdotool type --delay 20 "Anyone there?"
xdotool key Tab space
for _ in $(seq 50); do
    box=$(xdotool search --name '^(Send Message|KelTup)$' 2>/dev/null | while read -r b; do
        [ "$(xdotool getwindowpid "$b")" = "$alice" ] && xwininfo -id "$b" | grep -q 'IsViewable' &&
            xdotool getwindowname "$b" | grep -q 'Send Message' && echo "$b"
    done | head -1)
    [ -n "$box" ] && break
    sleep 0.2
done
[ -n "$box" ] && sleep 0.3 && import -frame -window "$box" "$outdir/qt-message-box.png"
ls -1 "$outdir"/qt-*.png
