#!/usr/bin/env bash
# keltup with a status notifier host for a tray (waybar in a headless sway session of an ordinary
# user): ALICE on X11 through Xwayland, BOB on Wayland, started before the panel.
# Usage: desktops.sh KELTUP KELTUP-SERVER KELTUP-SEND [SCREENSHOT.png]
set -uo pipefail
keltup=$1 server=$2 send=$3 shot=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/harness.sh"
desktop_sway

base=$((20000 + RANDOM % 20000))
sport=$base aport=$((base + 1)) bport=$((base + 2))
printf 'ALICE = 127.0.0.1:%s\nBOB = 127.0.0.1:%s\n' "$aport" "$bport" >"$work/users"
"$server" --bind 127.0.0.1 --port "$sport" --users "$work/users" --control "$work/control" --state none \
    >"$work/server.log" 2>&1 & pids+=($!)

# Every registration with the watcher, and every new icon an item announces:
exec_as_user dbus-monitor --session \
    "type='method_call',interface='org.kde.StatusNotifierWatcher',member='RegisterStatusNotifierItem'" \
    "type='signal',interface='org.kde.StatusNotifierItem',member='NewIcon'" >"$work/monitor.log" 2>&1 & pids+=($!)
sleep 0.3

client() { # NAME NICK PORT [ENV...]: a client with a settings file and a session folder of its own
    local name=$1
    printf '[settings]\nservername=127.0.0.1\nnick=%s\nlocalport=%s\nremoteport=%s\npopup=1\n' \
        "$2" "$3" "$sport" >"$work/home/$name.ini"
    shift 3
    mkdir -p -m 700 "$work/home/rt-$name"
    chown nobody:nogroup "$work/home/$name.ini" "$work/home/rt-$name"
    exec_as_user env XDG_RUNTIME_DIR="$work/home/rt-$name" WAYLAND_DISPLAY="$work/home/rt/wayland-1" \
        QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$@" "$keltup" "$work/home/$name.ini"
}
# BOB starts before the panel. Qt's Wayland plugins are unloaded before a leak check could name
# what they keep: under AddressSanitizer that check is ALICE's alone.
wayland=(ASAN_OPTIONS=detect_leaks=0)
client bob BOB "$bport" "${wayland[@]}" >"$work/bob.log" 2>&1 &
bob=$! && pids+=($bob)
wait_for 10 grep -q 'no notification area' "$work/bob.log" || fail "BOB did not say there is no tray"
sway_panel
client alice ALICE "$aport" QT_QPA_PLATFORM=xcb >"$work/alice.log" 2>&1 &
alice=$! && pids+=($alice)

bus() { as_user busctl --user "$@"; }
atspi() { as_user /usr/bin/python3 "$here/accessibility.py" "$@"; }
item_of() { # PID: the bus name of that process's item, as the watcher lists it
    local entry name
    for entry in $(bus get-property org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
        org.kde.StatusNotifierWatcher RegisteredStatusNotifierItems | grep -o '"[^"]*"' | tr -d '"'); do
        name=${entry%%/*}
        [ "$(bus call org.freedesktop.DBus / org.freedesktop.DBus GetConnectionUnixProcessID s \
            "$name" | cut -d' ' -f2)" = "$1" ] && { echo "$name"; return 0; }
    done
    return 1
}
item() { bus call "$(item_of "$1")" /StatusNotifierItem org.kde.StatusNotifierItem "$2" ii 0 0; }
item_property() { bus get-property "$(item_of "$1")" /StatusNotifierItem org.kde.StatusNotifierItem "$2"; }
for who in "$alice" "$bob"; do wait_for 20 item_of "$who" || fail "$who's item was not registered"; done
grep -q libqwayland /proc/"$bob"/maps && grep -q libqxcb /proc/"$alice"/maps || fail "not on Wayland and X11"
started=$SECONDS alice_item=$(item_of "$alice") bob_item=$(item_of "$bob")
atspi "$bob" gone KelTup || fail "the word about the missing tray stayed up"
bob_icon=$(item_property "$bob" IconPixmap | md5sum)

# A second copy in either session gives way to the first, and with the item shown opens nothing.
gives_way client alice ALICE "$aport" "${wayland[@]}"
gives_way client bob BOB "$bport" "${wayland[@]}"
for who in "$alice" "$bob"; do atspi "$who" gone KelTup || fail "a second start opened compose"; done

# A click on ALICE's item with an empty inbox: compose; she writes to BOB, whose viewer pops up.
item "$alice" Activate || fail "Activate on ALICE's item"
atspi "$alice" fill KelTup To BOB || fail "compose did not open from a click on the item"
atspi "$alice" fill KelTup "Message text" "hello from X11" || fail "typing the message"
atspi "$alice" press KelTup Send || fail "pressing Send"
atspi "$alice" press "Send Message" OK || fail "no receipt for ALICE's message"
atspi "$bob" shown "KelTup - 1 Messages" || fail "BOB's viewer did not pop up"
[ "$(item_property "$bob" IconPixmap | md5sum)" != "$bob_icon" ] || fail "BOB's icon did not change"
grep -A1 "sender=$bob_item" "$work/monitor.log" | grep -q 'member=NewIcon' ||
    fail "BOB's item announced no new icon"
[ -n "$shot" ] && as_user grim - >"$shot"

# BOB answers from the viewer on Wayland: compose, its receipt, ALICE's viewer.
atspi "$bob" press "KelTup - 1 Messages" Send || fail "pressing the viewer's Send"
atspi "$bob" fill KelTup "Message text" "hello from Wayland" || fail "compose did not open on Wayland"
atspi "$bob" press KelTup Send || fail "pressing Send on Wayland"
atspi "$bob" press "Send Message" OK || fail "no receipt for BOB's message"
atspi "$alice" shown "KelTup - 1 Messages" || fail "ALICE's viewer did not pop up"

# The ContextMenu request shows the tray menu, on either kind of client.
for who in "$alice" "$bob"; do
    atspi "$who" menu "About KelTup" busctl --user call "$(item_of "$who")" /StatusNotifierItem \
        org.kde.StatusNotifierItem ContextMenu ii 0 0 || fail "no tray menu on $who's ContextMenu"
    atspi "$who" press "About KelTup" OK || fail "the About box did not open from $who's menu"
done

# The items stayed registered, once each, for 20 s.
while [ $((SECONDS - started)) -lt 20 ]; do sleep 1; done
n=$(grep -c 'member=RegisterStatusNotifierItem' "$work/monitor.log")
[ "$n" -eq 2 ] || fail "the items were registered again: $n registrations"
[ "$(item_of "$alice")" = "$alice_item" ] && [ "$(item_of "$bob")" = "$bob_item" ] ||
    fail "an item is no longer registered"
grep -q 'no notification area' "$work/alice.log" && fail "ALICE said there is no notification area"

end_clients "$alice" "$bob"
echo "desktops: passed in $SECONDS s"
