#!/bin/sh
# systemd's own rating of the relay's unit as configured: an exposure of 2.0 or lower.
# Usage: unit_security.sh UNIT-FILE (exit 77: skipped, no systemd-analyze)
unit=$1
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "skipped: systemd-analyze is not installed (Debian package systemd)"
  exit 77
fi
out=$(systemd-analyze security --offline=true "$unit" 2>&1)
score=$(printf '%s\n' "$out" | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
if [ -z "$score" ]; then
  printf 'no rating from systemd-analyze:\n%s\n' "$out"
  exit 1
fi
echo "exposure $score (at most 2.0)"
if ! awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }'; then
  printf '%s\n' "$out" | grep '✗'
  exit 1
fi
