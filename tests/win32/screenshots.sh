#!/usr/bin/env bash
# Takes the screenshots of docs/screenshots/win32-*.png: keltup.exe under Wine on a display of its
# own, talking to keltup-server on 127.0.0.1, driven by keltup-drive.exe.
#
# Usage: tests/win32/screenshots.sh WINDOWS-BUILD-DIR SERVER-BINARY [DISPLAY-NUMBER]
set -euo pipefail
build=$(cd "$1" && pwd)
server=$2
num=${3:-13}
here=$(cd "$(dirname "$0")/../.." && pwd)
out="$here/docs/screenshots"
mkdir -p "$out"
export DISPLAY=":$num"
export WINEPREFIX="${WINEPREFIX:-$here/build/wineprefix-screenshots}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

if ! xdpyinfo >/dev/null 2>&1; then
  Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  sleep 1
fi
"$here/scripts/wine-setup"
# A Wine desktop of its own, with a taskbar and its notification area, and window frames drawn
# by Wine itself (there is no window manager).
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wineserver -w

server_port=42611
client_port=42612
"$server" --bind 127.0.0.1 --port "$server_port" --control "$work/control" --state none &
pids+=($!)
cat >"$work/keltup.ini" <<EOF
[settings]
servername=127.0.0.1
nick=WINE
localport=$client_port
remoteport=$server_port
popup=1
EOF

drive() { wine "$build/keltup-drive.exe" "$@"; }
# Saves the part of the screen that a window covers ("menu": the open pop-up menu).
shot() {
  local x y w h
  [ "$1" = menu ] || drive wait "$1" >/dev/null
  sleep 0.7
  read -r x y w h < <(drive rect "$1" | tr -d '\r')
  import -window root -crop "${w}x${h}+${x}+${y}" +repage "$out/$2"
  echo "wrote $out/$2"
}

wine "$build/keltup.exe" "$(winepath -w "$work/keltup.ini")" &
pids+=($!)
sleep 3

# The notification area with the icon, then the tray menu at the icon.
import -window root -crop 160x28+640+572 +repage "$out/win32-tray-off.png"
xdotool mousemove 780 585
drive tray menu
shot menu win32-tray-menu.png
drive key 27
sleep 0.5

drive pick e
shot "KelTup - Settings" win32-settings.png
drive press "KelTup - Settings" 2

drive pick a
shot "About KelTup" win32-about.png
drive press "About KelTup" 1

# A message to ourselves goes through the server and comes back. It arrives while the send waits
# for its receipt, so the viewer pops up over the outcome box; both are closed and the message is
# then opened from the tray.
drive tray dblclick
drive wait "KelTup" >/dev/null
drive set "KelTup" 1001 WINE
drive set "KelTup" 1000 "Hello through the relay, from keltup.exe under Wine."
shot "KelTup" win32-compose.png
drive press "KelTup" 1007
shot "Send Message" win32-message-box.png
drive wait "KelTup - Message" >/dev/null
drive press "Send Message" 1
drive press "KelTup - Message" 1017
sleep 1
import -window root -crop 160x28+640+572 +repage "$out/win32-tray-on.png"
drive tray dblclick
shot "KelTup - 1 Messages" win32-viewer.png
drive press "KelTup - 1 Messages" 1017
sleep 0.5
drive pick x
sleep 1
