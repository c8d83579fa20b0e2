#!/usr/bin/env bash
# Builds keltup.exe and tries it under Wine on this desktop: a local keltup-server on 127.0.0.1,
# keltup.exe configured for it in a Wine prefix of its own, and a greeting from keltup-send that
# pops up in the viewer.
# Usage: platform/win32/run-wine.sh [NICK]   (ends when you choose Exit from the tray menu)
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/deps test

if [ -z "${DISPLAY:-}" ]; then
    echo "run-wine: no X display (DISPLAY is not set)" >&2
    exit 2
fi

# The build folders are the presets' own unless given.
win_build=${KELTUP_WINDOWS_BUILD:-$PWD/build/windows}
linux_build=${KELTUP_LINUX_BUILD:-$PWD/build/linux-release}
cmake --preset windows -B "$win_build" >/dev/null
cmake --build "$win_build" --target keltup
cmake --preset linux-release -B "$linux_build" >/dev/null
cmake --build "$linux_build" --target keltup-server keltup-send
exe=$win_build/win32/keltup.exe
server=$linux_build/server/keltup-server
send=$linux_build/server/keltup-send

nick=$(echo "${1:-${USER:-me}}" | tr '[:lower:]' '[:upper:]' | tr -cd 'A-Z0-9_-' | cut -c1-19)
[ -n "$nick" ] || nick=ME
port=$((40000 + RANDOM % 20000))
localport=$((port + 1))
run=$PWD/build/run-wine
mkdir -p "$run"

export WINEPREFIX=$PWD/build/wineprefix-run
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
scripts/wine-setup

printf '%s = 127.0.0.1:%s\n' "$nick" "$localport" >"$run/users"
"$server" --bind 127.0.0.1 --port "$port" --users "$run/users" --control "$run/control" --verbose 2>"$run/server.log" &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true' EXIT

printf '[settings]\r\nservername=127.0.0.1\r\nnick=%s\r\nlocalport=%s\r\nremoteport=%s\r\npopup=1\r\n' \
    "$nick" "$localport" "$port" >"$run/keltup.ini"

cat <<EOF
keltup-server listens on 127.0.0.1:$port (log: $run/server.log)
keltup.exe runs under Wine as $nick with the settings file $run/keltup.ini
In a few seconds a greeting pops up; send more from another terminal with:
    $send --server 127.0.0.1 --port $port --from KELTUP-SEND $nick "your message"
Double-click the tray icon to write a message (to $nick, to see it come back through the
server); choose Exit from the icon's menu to end.
EOF

wine "$exe" "$(winepath -w "$run/keltup.ini")" &
client_pid=$!
sleep 4
"$send" --server 127.0.0.1 --port "$port" --from KELTUP-SEND "$nick" "Hello $nick, keltup.exe is running." || true
wait "$client_pid"
