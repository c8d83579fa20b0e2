#!/usr/bin/env bash
# Whether the installer window with this caption shows KelTup's own picture (drawn by
# resources/images/make_images.py) rather than the installer tool's stock one, which is navy too:
# in a screenshot of the window, the teal lower third of the picture's field (red 0, green 64 to
# 99, blue 128) covers over 10000 of its 164 x 314 pixels. Waits (a bounded number of times) for the window and for the page to be drawn.
# With "gone", waits instead until the page no longer shows it.
# Usage: wizard_picture.sh CAPTION [gone]     Needs DISPLAY, xdotool and ImageMagick.
set -uo pipefail
caption=$1
want=${2:-shown}
id=
for _ in $(seq 150); do
  id=$(xdotool search --name "^$caption" 2>/dev/null | head -1) # pages after the first add " "
  [ -n "$id" ] && break
  sleep 0.2
done
[ -n "$id" ] || { echo "no window \"$caption\"" >&2; exit 1; }
n=0
for _ in $(seq 10); do
  n=$(import -window "$id" -depth 8 txt:- 2>/dev/null | grep -Ec ': \(0,(6[4-9]|[7-9][0-9]),128\) ')
  if [ "$want" = gone ]; then [ "$n" -lt 10000 ] && exit 0; else [ "$n" -ge 10000 ] && exit 0; fi
  sleep 0.2
done
echo "the picture's teal: $n pixels (wanted it $want)" >&2
exit 1
