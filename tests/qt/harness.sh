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
# desktop_with_tray: a display of the script's own (Xvfb takes a free number itself and says
# which), the accessibility bus and its registry, and a notification area.
desktop_with_tray() {
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
    pids+=($!)
    wait_for 10 test -s "$work/display" || fail "Xvfb did not start"
    export DISPLAY=":$(head -1 "$work/display")"
    wait_for 10 xdotool getdisplaygeometry || fail "Xvfb does not answer"
    /usr/bin/python3 -c 'import pyatspi; pyatspi.Registry.getDesktop(0).childCount' >"$work/bus.log" 2>&1 ||
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
