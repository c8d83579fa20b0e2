#!/usr/bin/env bash
# The Debian packages as Debian and a user see them: lintian without errors or warnings, the
# files each package holds, valid desktop entry, AppStream data and man pages, and an install
# with dpkg into a throwaway root (an overlay of this machine's own, in a mount namespace of its
# own, so this machine is left as it was) where the installed programs run, the relay's unit is
# enabled and its users file is a conffile that a removal keeps and a purge removes.
#
# Usage (as root): tests/package/debian.sh DIST-DIR
set -euo pipefail
dist=$(realpath "$1")
here=$(cd "$(dirname "$0")/../.." && pwd)
client=$(ls "$dist"/keltup_*_amd64.deb)
server=$(ls "$dist"/keltup-server_*_amd64.deb)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fails=0
passes=0
check() { # check DESCRIPTION COMMAND...
  if "${@:2}"; then passes=$((passes + 1)); else echo "FAILED: $1"; fails=$((fails + 1)); fi
}
same() { # same DESCRIPTION EXPECTED-FILE ACTUAL-FILE
  if diff -u "$2" "$3"; then passes=$((passes + 1)); else echo "FAILED: $1"; fails=$((fails + 1)); fi
}

echo "--- lintian"
check "lintian: no errors, no warnings" lintian --fail-on error,warning --info "$client" "$server"

echo "--- file lists"
files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sort; }
{
  echo ./etc/xdg/autostart/keltup.desktop
  echo ./usr/bin/keltup
  echo ./usr/libexec/keltup/keltup-autostart
  echo ./usr/share/applications/keltup.desktop
  echo ./usr/share/doc/keltup/changelog.Debian.gz
  echo ./usr/share/doc/keltup/copyright
  for s in 16 22 24 32 48 64 128 256; do echo "./usr/share/icons/hicolor/${s}x$s/apps/keltup.png"; done
  echo ./usr/share/icons/hicolor/scalable/apps/keltup.svg
  echo ./usr/share/lintian/overrides/keltup
  echo ./usr/share/man/man1/keltup.1.gz
  echo ./usr/share/metainfo/org.example.keltup.metainfo.xml
} | sort >"$work/keltup.expected"
sort >"$work/keltup-server.expected" <<'LIST'
./etc/keltup/users
./lib/systemd/system/keltup-server.service
./usr/bin/keltup-send
./usr/bin/keltup-server
./usr/share/doc/keltup-server/changelog.Debian.gz
./usr/share/doc/keltup-server/copyright
./usr/share/keltup/users.example
./usr/share/lintian/overrides/keltup-server
./usr/share/man/man1/keltup-send.1.gz
./usr/share/man/man8/keltup-server.8.gz
LIST
files "$client" >"$work/keltup.files"
files "$server" >"$work/keltup-server.files"
same "keltup's files" "$work/keltup.expected" "$work/keltup.files"
same "keltup-server's files" "$work/keltup-server.expected" "$work/keltup-server.files"
dpkg-deb -e "$server" "$work/server.control"
dpkg-deb -e "$client" "$work/client.control"
check "the autostart entry is a conffile" grep -qx /etc/xdg/autostart/keltup.desktop "$work/client.control/conffiles"
check "/etc/keltup/users is a conffile" test "$(cat "$work/server.control/conffiles")" = /etc/keltup/users
check "postinst enables and starts the unit" \
  grep -q 'deb-systemd-invoke \$_dh_action .*keltup-server.service' "$work/server.control/postinst"

echo "--- contents"
dpkg-deb -x "$client" "$work/client"
dpkg-deb -x "$server" "$work/server"
check "desktop entry valid" desktop-file-validate "$work/client/usr/share/applications/keltup.desktop"
check "autostart entry valid" desktop-file-validate "$work/client/etc/xdg/autostart/keltup.desktop"
check "AppStream data valid" appstreamcli validate --no-net --pedantic \
  "$work/client/usr/share/metainfo/org.example.keltup.metainfo.xml" >/dev/null
for page in "$work"/client/usr/share/man/man*/*.gz "$work"/server/usr/share/man/man*/*.gz; do
  out=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  check "$(basename "$page") formats without warnings${out:+: $out}" test -z "$out"
done
check "the users file has only comments" \
  test -z "$(grep -Ev '^[[:space:]]*(#|$)' "$work/server/etc/keltup/users")"
check "the users file has the example's comments" \
  grep -qF "$(grep -m1 '^#' "$here/server/users.example")" "$work/server/etc/keltup/users"

echo "--- install into a throwaway root"
cp "$client" "$server" "$work/"
cat >"$work/inside.sh" <<'INSIDE'
set -eu
w=$1
mount -t tmpfs tmpfs "$w/layers"
mkdir "$w/layers/upper" "$w/layers/work"
mount -t overlay overlay -o "lowerdir=/,upperdir=$w/layers/upper,workdir=$w/layers/work" "$w/root"
mount -t proc proc "$w/root/proc"
mount -t tmpfs tmpfs "$w/root/run"
mount -t tmpfs tmpfs "$w/root/tmp"
cp "$w"/*.deb "$w/root/tmp/"
in_root() { chroot "$w/root" "$@"; }
# No manual-page index rebuild: nothing here reads it. man-db's trigger looks for this file (the
# debconf answer only counts when man-db itself is configured).
rm -f "$w/root/var/lib/man-db/auto-update"
in_root sh -c 'dpkg -i /tmp/keltup_*.deb /tmp/keltup-server_*.deb' >"$w/dpkg.log" 2>&1 ||
  { cat "$w/dpkg.log"; echo "dpkg -i failed"; exit 1; }
echo "installed: $(in_root dpkg-query -W -f '${Package} ${Version} ${Status}, ' keltup keltup-server)"
in_root keltup-server --version >"$w/server.version"
in_root keltup-send --version >"$w/send.version"
in_root ldd /usr/bin/keltup >"$w/keltup.ldd"
# The autostart entry's command, without settings: it starts its program (a stand-in) at once.
HOME=/ in_root $(sed -n 's/^Exec=//p' "$w/root/etc/xdg/autostart/keltup.desktop") --program /bin/echo >"$w/autostart"
readlink "$w/root/etc/systemd/system/multi-user.target.wants/keltup-server.service" >"$w/enabled" || true
# The relay as its unit starts it, with the installed users file, on a port of 127.0.0.1.
port=$2
chroot "$w/root" keltup-server --bind 127.0.0.1 --port "$port" --users /etc/keltup/users --state none --quiet \
  >"$w/relay.log" 2>&1 &
relay=$!
sent=1
for _ in 1 2 3 4 5; do
  if in_root keltup-send --port "$port" --from PKGTEST PKGTEST "hello" 2>/dev/null; then sent=0; break; fi
done
kill "$relay"
wait "$relay" || true
echo "$sent" >"$w/sent"
in_root dpkg -r keltup-server >>"$w/dpkg.log" 2>&1
test -f "$w/root/etc/keltup/users" && echo kept >"$w/removed" || echo gone >"$w/removed"
in_root dpkg --purge keltup-server >>"$w/dpkg.log" 2>&1
test -e "$w/root/etc/keltup/users" && echo kept >"$w/purged" || echo gone >"$w/purged"
INSIDE
mkdir "$work/layers" "$work/root"
start=$SECONDS
check "dpkg -i in a mount namespace of its own" unshare --mount --propagation private \
  sh "$work/inside.sh" "$work" "$((20000 + RANDOM % 20000))"
echo "(install, runs and removal: $((SECONDS - start)) s)"
version=$(dpkg-deb -f "$server" Version)
check "installed keltup-server --version" test "$(cat "$work/server.version")" = "keltup-server ${version%-*}"
check "installed keltup-send --version" test "$(cat "$work/send.version")" = "keltup-send ${version%-*}"
check "installed keltup finds every library" test -s "$work/keltup.ldd" -a -z "$(grep 'not found' "$work/keltup.ldd")"
check "the installed autostart entry starts its program" test -s "$work/autostart"
check "the unit is enabled" test "$(cat "$work/enabled")" = /lib/systemd/system/keltup-server.service
check "the installed relay relays keltup-send's message" test "$(cat "$work/sent")" = 0
check "removal keeps /etc/keltup/users" test "$(cat "$work/removed")" = kept
check "purge removes /etc/keltup/users" test "$(cat "$work/purged")" = gone
check "this machine has no keltup-server" test ! -e /usr/bin/keltup-server -a ! -e /etc/keltup/users

echo "debian packages: $passes passed, $fails failed"
[ "$fails" -eq 0 ]
