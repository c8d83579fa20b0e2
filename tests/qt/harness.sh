# Sourced by the scripts that run keltup on a display of their own: a scratch folder, the processes
# started (ended on exit), the helpers to fail with the logs and to wait a bounded time, and the
# ones that find a keltup's windows and its tray icon.
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
# fail MESSAGE: says why, with the window tree and every log of the run, and ends the script.
fail() {
    echo "FAIL: $*" >&2
    [ -n "${DISPLAY:-}" ] && xwininfo -root -tree >"$work/windows.log" 2>&1
    for f in "$work"/*.log; do echo "--- $f" >&2; cat "$f" >&2; done
    exit 1
}
end_clients() { # PID...: SIGTERM ends each keltup with code 0
    local p
    for p; do kill -TERM "$p" && wait "$p" || fail "keltup $p ended with code $? after SIGTERM"; done
}
gives_way() { # COMMAND...: it starts a second copy, which must end by itself with code 0
    "$@" >>"$work/second.log" 2>&1 &
    local p=$! && pids+=($!)
    wait_for 20 eval "! kill -0 $p" || fail "the second copy ($*) did not end"
    wait "$p" || fail "the second copy ($*) did not end with code 0"
}
# keys WINDOW KEY...: focuses the window and presses the keys.
keys() { xdotool windowfocus --sync "$1" && sleep 0.3 && xdotool key "${@:2}"; }
# wait_for SECONDS COMMAND...: retries the command every 0.2 s.
wait_for() {
    local limit=$(($1 * 5)) i=0
    shift
    until "$@" >/dev/null 2>&1; do
        i=$((i + 1))
        [ $i -ge $limit ] && return 1
        sleep 0.2
    done
}
# desktop_with_tray [x11]: a display of the script's own (a free number far above Xvfb's and
# Xwayland's own choices), the accessibility bus and its registry (not with x11), and a notification area.
desktop_with_tray() {
    local n=$((300 + RANDOM % 600))
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] ||
        grep -q "@/tmp/.X11-unix/X$n\$" /proc/net/unix; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
    pids+=($!)
    export DISPLAY=":$n"
    wait_for 10 xdotool getdisplaygeometry || fail "Xvfb does not answer"
    [ "${1:-}" = x11 ] || /usr/bin/python3 -c 'import pyatspi; pyatspi.Registry.getDesktop(0).childCount' >"$work/bus.log" 2>&1 ||
        fail "no accessibility bus"
    trayer --edge bottom --align right --widthtype pixel --width 120 --height 36 \
        --transparent false >"$work/trayer.log" 2>&1 &
    pids+=($!)
}
# window PID TITLE: the window of that process with exactly that title.
window() {
    local w
    for w in $(xdotool search --name "^$2\$" 2>/dev/null); do
        [ "$(xdotool getwindowpid "$w" 2>/dev/null)" = "$1" ] || continue
        # Dialogs and message boxes, not the tray icon's window of the same name.
        xprop -id "$w" _NET_WM_WINDOW_TYPE 2>/dev/null | grep -q _DIALOG && { echo "$w"; return 0; }
    done
    return 1
}
# icon_of PID: its icon's window inside the notification area's panel.
icon_of() {
    local panel w
    for panel in $(xdotool search --classname '^panel$' 2>/dev/null); do
        for w in $(xwininfo -tree -id "$panel" | awk '/\("keltup" "keltup"\)/ { print $1 }'); do
            [ "$(xdotool getwindowpid "$w" 2>/dev/null)" = "$1" ] && { echo "$w"; return 0; }
        done
    done
    return 1
}
# An ordinary user's rights, for keltup and for what must not run as root.
as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
# as_user COMMAND...: the command as desktop_sway's user, with only that session's environment;
# exec_as_user execs it, so that `exec_as_user ... &` leaves the program's own id in $!.
user_command() {
    user_cmd=("${as_nobody[@]}" env -i PATH=/usr/bin:/bin
        HOME="$work/home" XDG_RUNTIME_DIR="$work/home/rt" XDG_CACHE_HOME="$work/home/cache"
        XDG_CONFIG_HOME="$work/home/config" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/home/rt/bus"
        WAYLAND_DISPLAY=wayland-1 DISPLAY="${session_display:-}")
}
as_user() { user_command; "${user_cmd[@]}" "$@"; }
exec_as_user() { user_command; exec "${user_cmd[@]}" "$@"; }
# desktop_sway: a headless sway session of an ordinary user (sway refuses root), with its own
# session bus, and Xwayland for X11 programs (session_display).
desktop_sway() {
    chmod 711 "$work" && mkdir -p "$work/home" && mkdir -m 700 "$work/home/rt"
    cat >"$work/home/sway.conf" <<'END'
output HEADLESS-1 resolution 1024x768 background #335577 solid_color
exec sh -c 'echo "$DISPLAY" >"$XDG_RUNTIME_DIR/display"'
END
    echo '{"position": "bottom", "height": 30, "modules-right": ["tray"]}' >"$work/home/waybar.json"
    chown -R nobody:nogroup "$work/home"
    exec_as_user dbus-daemon --session --nofork --address="unix:path=$work/home/rt/bus" \
        >"$work/dbus.log" 2>&1 & pids+=($!)
    wait_for 10 test -S "$work/home/rt/bus" || fail "the session bus did not start"
    exec_as_user env WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
        XDG_SESSION_TYPE=wayland sway -c "$work/home/sway.conf" >"$work/sway.log" 2>&1 & pids+=($!)
    wait_for 15 test -s "$work/home/rt/display" || fail "sway did not start"
    session_display=$(cat "$work/home/rt/display")
}
# sway_panel: waybar in desktop_sway's session; its tray is a host of D-Bus status notifier items.
sway_panel() {
    exec_as_user waybar -c "$work/home/waybar.json" >"$work/waybar.log" 2>&1 & pids+=($!)
    wait_for 15 eval 'as_user busctl --user get-property org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
        org.kde.StatusNotifierWatcher IsStatusNotifierHostRegistered | grep -q true' ||
        fail "waybar's tray did not register as a status notifier host"
}
