#!/usr/bin/env bash
# keltup end to end on a display of its own: two tray clients and keltup-send exchange messages
# through keltup-server on 127.0.0.1, a second copy of a client gives way to the first, a client
# started before the notification area docks when it appears, and the tray menu's Exit and SIGTERM
# end a client cleanly.
# Usage: end_to_end.sh KELTUP KELTUP-SERVER KELTUP-SEND
set -uo pipefail
keltup=$1 server=$2 send=$3
. "$(dirname "$0")/harness.sh"
# A display of our own.
n=140
while [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=":$n"
wait_for 10 xdotool getdisplaygeometry || fail "Xvfb did not start"

# The relay on a free high port of 127.0.0.1, with both clients' addresses pinned.
base=$((20000 + RANDOM % 20000))
sport=$base aport=10099 bport=$((base + 2))
printf 'ALICE = 127.0.0.1:%s\nBOB = 127.0.0.1:%s\n' "$aport" "$bport" >"$work/users"
"$server" --bind 127.0.0.1 --port "$sport" --users "$work/users" --control "$work/control" --state none --verbose \
    >"$work/server.log" 2>&1 &
pids+=($!)
sleep 0.5
kill -0 "${pids[-1]}" 2>/dev/null || fail "keltup-server did not start"

chmod 711 "$work"
# run_keltup NAME [SETTINGS]: keltup as an ordinary user, with a home and a session of its own.
run_keltup() {
    mkdir -p -m 700 "$work/home-$1" "$work/home-$1/rt"
    chown -R nobody:nogroup "$work/home-$1"
    exec "${as_nobody[@]}" env HOME="$work/home-$1" XDG_CONFIG_HOME="$work/home-$1/config" \
        XDG_RUNTIME_DIR="$work/home-$1/rt" "$keltup" ${2:+"$2"}
}
client() { # NAME NICK PORT: a client with a settings file and a session directory of its own
    printf '[settings]\nservername=127.0.0.1\nnick=%s\nlocalport=%s\nremoteport=%s\npopup=1\n' \
        "$2" "$3" "$sport" >"$work/$1.ini"
    run_keltup "$1" "$work/$1.ini" >"$work/$1.log" 2>&1 &
}
docked() { icon_of "$1" >/dev/null; }

# ALICE's first run, before there is a notification area: she says so once, and the settings
# dialog gets the server, its port and her nickname, the local port left as it is.
run_keltup alice >"$work/alice.log" 2>&1 &
alice=$!
pids+=($alice)
wait_for 10 grep -q 'no notification area' "$work/alice.log" || fail "no word about the missing tray"
wait_for 10 window "$alice" "KelTup - Settings" || fail "no settings dialog at the first run"
keys "$(window "$alice" "KelTup - Settings")" ctrl+a # each field's text replaced, then OK
for text in 127.0.0.1 "$sport" ALICE; do xdotool type --delay 10 "$text" && xdotool key Tab ctrl+a; done
xdotool key Return
settings="$work/home-alice/config/keltup/KELTUP.INI"
wait_for 10 grep -q "^localport=$aport" "$settings" || fail "the first run did not save local port $aport"
# Meanwhile a second copy gives way (code 0) and opens her compose dialog, beside that word.
wait_for 10 window "$alice" KelTup && box=$(window "$alice" KelTup) && gives_way run_keltup alice
compose() { xdotool search --all --onlyvisible --pid "$alice" --name '^KelTup$' | grep -vx "$box"; }
wait_for 10 compose || fail "a second start without a notification area opened no compose dialog"
keys "$(compose | head -1)" Escape

trayer --edge bottom --align right --widthtype pixel --width 120 --height 36 \
    --transparent false >"$work/trayer.log" 2>&1 &
pids+=($!)
client bob BOB "$bport"
bob=$!
pids+=($bob)
wait_for 15 docked "$alice" || fail "ALICE's icon did not dock when the notification area appeared"
wait_for 15 docked "$bob" || fail "BOB's icon did not dock"
gives_way run_keltup alice # with her icon docked, it opens nothing
wait_for 5 eval '! window "$alice" KelTup' || fail "the word about the missing tray stayed up"

# A settings file that names a port below 1024: an ordinary user may not bind it.
client carl CARL 99
carl=$! && pids+=($carl)
wait_for 10 window "$carl" KelTup || fail "no word that port 99 cannot be bound"
keys "$(window "$carl" KelTup)" Return
wait_for 10 eval '! kill -0 $carl' || fail "keltup went on after Cant bind!"
wait "$carl" || fail "keltup ended with code $? after Cant bind!"

# A script's message pops up ALICE's viewer, and only hers.
"$send" --server 127.0.0.1 --port "$sport" --from CAROL ALICE "hello from a script" >"$work/send.log" 2>&1 ||
    fail "keltup-send got no receipt"
wait_for 10 window "$alice" "KelTup - 1 Messages" || fail "ALICE's viewer did not pop up"
window "$bob" "KelTup - 1 Messages" && fail "BOB's viewer opened for ALICE's message"

# ALICE answers from the viewer, to BOB: Send (the fifth control that takes the focus), the
# recipient replaced, a body, then the compose dialog's Send and the outcome box's OK.
viewer=$(window "$alice" "KelTup - 1 Messages")
xdotool windowfocus --sync "$viewer"
sleep 0.3
xdotool key Tab Tab Tab Tab space
wait_for 10 window "$alice" "KelTup" || fail "the compose dialog did not open from the viewer"
compose=$(window "$alice" "KelTup")
xdotool windowfocus --sync "$compose"
sleep 0.3
xdotool key ctrl+a
xdotool type --delay 10 "bob"
xdotool key Tab
xdotool type --delay 10 "lunch at noon?"
xdotool key Tab space
wait_for 10 window "$alice" "Send Message" || fail "no outcome box after sending"
wait_for 10 window "$bob" "KelTup - 1 Messages" || fail "BOB's viewer did not pop up"
grep -q 'ALICE' "$work/server.log" ||
    fail "the relay saw no message from ALICE"
box=$(window "$alice" "Send Message")
xdotool windowfocus --sync "$box"
sleep 0.2
xdotool key Return
sleep 0.5

# The tray menu's Exit removes the icon from inside its own click and ends with code 0.
icon=$(icon_of "$bob") || fail "BOB's icon is not in the panel"
eval "$(xdotool getwindowgeometry --shell "$icon")"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 3
sleep 0.8
xdotool key x
wait "$bob"
code=$?
[ $code -eq 0 ] || fail "BOB ended with code $code after Exit"
docked "$bob" && fail "BOB's icon stayed in the panel"

# SIGTERM takes the same road.
kill -TERM "$alice"
wait "$alice"
code=$?
[ $code -eq 0 ] || fail "ALICE ended with code $code after SIGTERM"
echo "end to end: passed"
