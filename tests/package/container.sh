#!/usr/bin/env bash
# The relay's package under a real systemd. The built keltup-server package is installed into a
# throwaway root (an overlay of this machine's own, in a mount namespace of this test's own, as in
# debian.sh), which systemd-nspawn then boots with its own systemd on this machine's network. The
# checks, with keltup-send from outside the container and keltup-server --status, systemctl and
# dpkg inside it:
#   - the package enabled the unit and the relay started at boot, listening on UDP port 99 as its
#     dynamic user with CAP_NET_BIND_SERVICE and no other capability;
#   - keltup-send from outside gets its receipt and the relay learns its nickname;
#   - systemctl reload re-reads /etc/keltup/users;
#   - systemctl restart, systemctl kill -s KILL (then the unit's own restart) and an upgrade (dpkg -i
#     of the same package with a higher version, whose maintainer scripts restart the relay) keep
#     every learned nickname and the edited users file;
#   - systemd-analyze security rates the running unit 2.0 or lower;
#   - a purge stops the relay and removes what it learned and the users file;
#   - the container, its mounts and its control groups are gone afterwards.
# Only 127.0.0.1 is used to talk to the relay. Every wait is bounded.
#
# Usage (as root): tests/package/container.sh DIST-DIR
# Exit code 77: skipped, with a line saying why (no systemd-nspawn, not root, UDP port 99 taken,
# or a container that cannot boot here).
set -euo pipefail

skip() { echo "container test skipped: $*"; exit 77; }

# ---------------------------------------------------------------------------------------------
# Inside the mount namespace: prepare the root, boot it, run the checks, stop it.
if [ "${1:-}" = --inside ]; then
  work=$2
  server=$3
  upgrade=$4
  root=$work/root
  fails=0
  passes=0
  check() { # check DESCRIPTION COMMAND...
    if "${@:2}"; then echo "ok: $1"; passes=$((passes + 1)); else echo "FAILED: $1"; fails=$((fails + 1)); fi
  }
  # wait_for TRIES COMMAND...: COMMAND succeeds within TRIES tries 0.2 s apart.
  wait_for() {
    local tries=$1
    shift
    while ! "$@"; do
      tries=$((tries - 1))
      [ "$tries" -gt 0 ] || return 1
      sleep 0.2
    done
  }

  # Without systemd on this machine nobody hands out control groups: nspawn makes its own
  # (supervisor, payload) below the one it runs in. A group of this test's own keeps them together
  # and lets the test remove them.
  cgroups=()
  if [ ! -d /run/systemd/system ]; then
    while read -r _ mp type opts _; do
      case $type in
        cgroup2) rel=$(sed -n 's/^0:://p' /proc/self/cgroup) ;;
        cgroup) case ",$opts," in
                  *,name=systemd,*) rel=$(sed -n 's/^[0-9]*:name=systemd://p' /proc/self/cgroup) ;;
                  *) continue ;;
                esac ;;
        *) continue ;;
      esac
      [ -n "$rel" ] || continue
      dir="$mp${rel%/}/keltup-container.$$"
      if mkdir "$dir" 2>/dev/null; then
        cgroups+=("$dir")
        echo $$ >"$dir/cgroup.procs" || true
      fi
    done </proc/mounts
  fi
  printf '%s\n' "${cgroups[@]}" >"$work/cgroups"

  nspawn=
  leader=
  stop_container() {
    [ -n "$nspawn" ] || return 0
    # SIGTERM asks nspawn for an orderly shutdown of the container (its systemd powers off).
    kill "$nspawn" 2>/dev/null || true
    for _ in $(seq 300); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.2; done
    if kill -0 "$nspawn" 2>/dev/null; then
      echo "the container did not stop within 60 s: killed"
      [ -z "$leader" ] || kill -KILL "$leader" 2>/dev/null || true
      kill -KILL "$nspawn" 2>/dev/null || true
    fi
    wait "$nspawn" 2>/dev/null || true
    nspawn=
  }
  cleanup() {
    stop_container
    local dir
    for dir in "${cgroups[@]}"; do
      echo $$ >"$(dirname "$dir")/cgroup.procs" || true
      find "$dir" -depth -type d -exec rmdir {} + 2>/dev/null || true
    done
    echo "$passes $fails" >"$work/counts"
  }
  trap cleanup EXIT
  trap 'exit 130' INT TERM

  # nspawn keeps its locks under /run/systemd/nspawn: in this namespace that is a tmpfs of its own.
  mount -t tmpfs tmpfs /run
  mount -t tmpfs -o mode=0755 tmpfs "$work/layers"
  mkdir "$work/layers/upper" "$work/layers/work"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$work/layers/upper,workdir=$work/layers/work" "$root"
  # The container runs what systemd itself brings and what the package enables, none of this
  # machine's own services (they would share its network). This machine's image also forbids
  # maintainer scripts to start services (policy-rc.d); a server has no such file.
  rm -rf "$root"/etc/systemd/system/*.wants "$root/usr/sbin/policy-rc.d"
  # What a relay run as root on this machine may have left (its default state folder, a users
  # file) is not the package's: the throwaway root starts without it, as a fresh server would.
  for left in /var/lib/keltup-server /var/lib/private/keltup-server /etc/keltup; do
    [ ! -e "$left" ] || echo "NOTE: this machine has $left; the container starts without it"
    rm -rf "${root:?}$left"
  done
  # No manual-page index rebuild after each dpkg -i: nothing here reads it.
  rm -f "$root/var/lib/man-db/auto-update"

  t0=$SECONDS
  echo "--- $((SECONDS - t0)) s: install into a throwaway root"
  mount -t proc proc "$root/proc"
  mount -t tmpfs tmpfs "$root/run"
  mount -t tmpfs tmpfs "$root/tmp"
  cp "$server" "$root/tmp/"
  if ! chroot "$root" sh -c 'dpkg -i /tmp/keltup-server_*.deb' >"$work/dpkg.log" 2>&1; then
    cat "$work/dpkg.log"
    echo "FAILED: dpkg -i"
    fails=$((fails + 1))
    exit 1
  fi
  umount "$root/tmp" "$root/run" "$root/proc"
  # Where the container's dpkg finds the upgrade (its /tmp is a tmpfs of its own).
  mkdir -p "$root/var/tmp/keltup-test"
  cp "$upgrade" "$root/var/tmp/keltup-test/"

  echo "--- $((SECONDS - t0)) s: boot"
  start=$SECONDS
  systemd-nspawn --quiet --register=no --keep-unit --link-journal=no --console=read-only \
    --machine=keltup-test -D "$root" --boot >"$work/nspawn.log" 2>&1 &
  nspawn=$!
  # The container's init is nspawn's child, process 1 of its own PID namespace.
  for _ in $(seq 100); do
    kill -0 "$nspawn" 2>/dev/null || break
    for p in $(ps -o pid= --ppid "$nspawn"); do
      grep -qE '^NSpid:.*[[:space:]]1$' "/proc/$p/status" 2>/dev/null && leader=$p
    done
    [ -z "$leader" ] || break
    sleep 0.1
  done
  in_ct() { nsenter -t "$leader" -m -u -i -p -- env SYSTEMD_PAGER= SYSTEMD_COLORS=0 "$@"; }
  system_up() {
    state=$(in_ct systemctl is-system-running 2>/dev/null) || true
    case $state in running | degraded) return 0 ;; *) return 1 ;; esac
  }
  if [ -z "$leader" ] || ! wait_for 300 system_up; then
    tail -20 "$work/nspawn.log"
    echo "container test skipped: the container's systemd did not come up (state: ${state:-none})"
    echo 77 >"$work/skipped"
    exit 0
  fi
  echo "(the container's systemd: $state after $((SECONDS - start)) s)"
  [ "$state" = running ] || in_ct systemctl --failed --no-legend

  send=("$root/usr/bin/keltup-send" --server 127.0.0.1 --port 99)
  main_pid() { in_ct systemctl show -P MainPID keltup-server.service; }
  status() { in_ct keltup-server --status >"$work/status" 2>&1; }
  # listed NICK ADDRESS-PATTERN KIND: --status answers and shows NICK so.
  listed() { status && grep -qE "^$1 +$2 +$3 " "$work/status"; }
  known_to_relay() { # known_to_relay NICK: a message to NICK is received and reaches it (exit 0).
    "${send[@]}" --from KELTUPTEST "$1" "are you there" >"$work/send.out" 2>&1
  }
  if "$root/usr/bin/keltup-server" --help 2>&1 | grep -q -- '--state'; then
    has_state=1
  else
    has_state=0
    echo "NOTE: this keltup-server has no --state option: the checks that learned nicknames outlive a"
    echo "      restart, a kill and an upgrade are skipped (the unit's restarts are still checked)"
  fi
  kept() { # kept WHAT NICK...: after WHAT the relay still has every NICK as learned.
    local what=$1 nick
    shift
    [ "$has_state" = 1 ] || return 0
    for nick in "$@"; do
      check "$what keeps the learned $nick" wait_for 50 listed "$nick" '127\.0\.0\.1:[0-9]+' learned
      check "$what: a message to $nick finds it" known_to_relay "$nick"
    done
  }

  echo "--- $((SECONDS - t0)) s: the relay as the package starts it"
  check "the package enabled the unit" test "$(in_ct systemctl is-enabled keltup-server.service)" = enabled
  check "the relay started at boot" wait_for 50 in_ct systemctl is-active --quiet keltup-server.service
  if ! in_ct systemctl is-active --quiet keltup-server.service; then
    in_ct systemctl status --no-pager --full keltup-server.service || true
    in_ct journalctl -b -u keltup-server.service -o cat --no-pager | tail -20 || true
    exit 1
  fi
  check "its control socket answers --status" wait_for 50 status
  pid=$(main_pid)
  bound_to_99() { in_ct ss -Hulnp 'sport = :99' | grep -q "pid=$pid,"; }
  check "keltup-server listens on UDP port 99 (its main process)" wait_for 50 bound_to_99
  in_ct cat "/proc/$pid/status" >"$work/proc.status"
  uid=$(awk '/^Uid:/ { print $2 }' "$work/proc.status")
  check "it runs as a dynamic user (uid $uid, 61184 to 65519)" \
    awk '/^Uid:|^Gid:/ { if ($2 != $3 || $2 != $4 || $2 != $5 || $2 < 61184 || $2 > 65519) bad = 1 } END { exit bad }' "$work/proc.status"
  check "its user is keltup-server" test "$(in_ct getent passwd "$uid" | cut -d: -f1)" = keltup-server
  check "it holds CAP_NET_BIND_SERVICE and no other capability" \
    test "$(grep -E '^Cap(Inh|Prm|Eff|Bnd|Amb):' "$work/proc.status" | awk '{ print $2 }' | sort -u)" = 0000000000000400
  check "no new privileges" grep -qE '^NoNewPrivs:[[:space:]]+1$' "$work/proc.status"
  check "its state directory is /var/lib/private/keltup-server, its own" \
    test "$(in_ct stat -c '%u %a' /var/lib/private/keltup-server 2>&1)" = "$uid 755"
  # sent ...: the receipt came, and the relay said nobody is called NOBODY (exit 3).
  sent() {
    "${send[@]}" "$@" >"$work/send.out" 2>&1
    [ $? -eq 3 ]
  }
  check "keltup-send from outside gets its receipt" sent --from ALICE NOBODY "hello from outside"
  check "--status shows ALICE learned from 127.0.0.1" wait_for 50 listed ALICE '127\.0\.0\.1:[0-9]+' learned
  in_ct journalctl -b -u keltup-server.service -o cat --no-pager >"$work/journal" 2>&1 || true
  check "the journal has the relay's start line" grep -q 'keltup-server: listening on 0.0.0.0:99' "$work/journal"
  if [ "$has_state" = 1 ]; then
    check "--status names the state file in the state directory" \
      grep -q '^state file: /var/lib/keltup-server/directory$' "$work/status"
    # The unit's UMask=0077: the addresses it learned are for the relay's user alone.
    check "the state file is the relay's user's alone" \
      test "$(in_ct stat -c '%u %a' /var/lib/private/keltup-server/directory 2>&1)" = "$uid 600"
  fi

  echo "--- $((SECONDS - t0)) s: systemctl reload"
  echo "CAROL = 127.0.0.1:4099" >>"$root/etc/keltup/users"
  in_ct systemctl reload keltup-server.service
  check "reload re-reads the users file: CAROL is pinned" wait_for 50 listed CAROL '127\.0\.0\.1:4099' pinned
  check "reload keeps the process" test "$(main_pid)" = "$pid"

  echo "--- $((SECONDS - t0)) s: systemctl restart"
  in_ct systemctl restart keltup-server.service
  check "restart starts a new process" test "$(main_pid)" != "$pid"
  check "the relay is active again" wait_for 50 in_ct systemctl is-active --quiet keltup-server.service
  kept "restart" ALICE
  check "restart keeps CAROL pinned" wait_for 50 listed CAROL '127\.0\.0\.1:4099' pinned

  echo "--- $((SECONDS - t0)) s: systemctl kill -s KILL"
  check "keltup-send as DAVE gets its receipt" sent --from DAVE NOBODY "before the kill"
  check "--status shows DAVE learned" wait_for 50 listed DAVE '127\.0\.0\.1:[0-9]+' learned
  pid=$(main_pid)
  restarts=$(in_ct systemctl show -P NRestarts keltup-server.service)
  in_ct systemctl kill -s KILL keltup-server.service
  restarted() { [ "$(in_ct systemctl show -P NRestarts keltup-server.service)" = $((restarts + 1)) ] &&
                  in_ct systemctl is-active --quiet keltup-server.service; }
  check "the unit restarts the killed relay" wait_for 100 restarted
  check "a new process" test "$(main_pid)" != "$pid"
  kept "kill -s KILL" ALICE DAVE

  echo "--- $((SECONDS - t0)) s: upgrade"
  pid=$(main_pid)
  new=$(dpkg-deb -f "$upgrade" Version)
  if in_ct sh -c 'dpkg -i /var/tmp/keltup-test/keltup-server_*.deb' >"$work/upgrade.log" 2>&1; then
    echo "ok: dpkg -i of version $new in the container"
    passes=$((passes + 1))
  else
    cat "$work/upgrade.log"
    echo "FAILED: dpkg -i of version $new in the container"
    fails=$((fails + 1))
  fi
  check "keltup-server $new is installed" \
    test "$(in_ct dpkg-query -W -f '${Version} ${Status}' keltup-server)" = "$new install ok installed"
  check "the upgrade restarted the relay" test "$(main_pid)" != "$pid"
  check "the relay is active after the upgrade" wait_for 50 in_ct systemctl is-active --quiet keltup-server.service
  kept "the upgrade" ALICE DAVE
  check "the upgrade keeps the edited users file: CAROL is pinned" \
    wait_for 50 listed CAROL '127\.0\.0\.1:4099' pinned

  echo "--- $((SECONDS - t0)) s: systemd-analyze security"
  out=$(in_ct systemd-analyze security --no-pager keltup-server.service 2>&1) || true
  score=$(printf '%s\n' "$out" | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
  check "the running unit's exposure (${score:-none}) is 2.0 or lower" \
    awk -v s="${score:-99}" 'BEGIN { exit !(s <= 2.0) }'

  in_ct systemctl --failed --no-legend --plain >"$work/failed" 2>&1 || true
  check "no unit failed in the container$(tr '\n' ' ' <"$work/failed" | sed 's/^./: &/')" test ! -s "$work/failed"

  echo "--- $((SECONDS - t0)) s: purge"
  in_ct dpkg --purge keltup-server >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; echo "(dpkg --purge failed)"; }
  check "purge stops the relay" wait_for 50 sh -c "! ss -Huln 'sport = :99' | grep -q ."
  leftover=$(in_ct ls -d /var/lib/private/keltup-server /var/lib/keltup-server /etc/keltup 2>/dev/null | tr '\n' ' ') || true
  check "purge removes the learned directory and the users file${leftover:+ (left: $leftover)}" \
    test -z "$leftover"
  echo "--- $((SECONDS - t0)) s: stop"
  start=$SECONDS
  stop_container
  echo "(the container stopped in $((SECONDS - start)) s)"
  exit 0
fi

# ---------------------------------------------------------------------------------------------
# Outside: the skips, the upgrade package, then the namespace, then what must be left as it was.
dist=$(realpath "$1")
server=$(ls "$dist"/keltup-server_*_amd64.deb)
[ "$(id -u)" -eq 0 ] || skip "it needs root"
command -v systemd-nspawn >/dev/null || skip "no systemd-nspawn (Debian package systemd-container)"
taken=$(ss -Hulnp 'sport = :99')
[ -z "$taken" ] || skip "UDP port 99 is in use on this machine: $taken"
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf --one-file-system "$work"' EXIT
trap 'exit 130' INT TERM
mkdir "$work/layers" "$work/root"

# The upgrade: the same package with a higher version, repacked rather than built again.
version=$(dpkg-deb -f "$server" Version)
new="$version.1"
dpkg-deb -R "$server" "$work/repack"
sed -i "s/^Version: .*/Version: $new/" "$work/repack/DEBIAN/control"
dpkg-deb -b "$work/repack" "$work/keltup-server_${new}_amd64.deb" >/dev/null
rm -rf "$work/repack"

start=$SECONDS
status=0
unshare --mount --propagation private "$here/container.sh" --inside "$work" "$server" \
  "$work/keltup-server_${new}_amd64.deb" || status=$?
read -r passes fails <"$work/counts" || { passes=0; fails=1; }
[ "$status" -eq 0 ] || { echo "FAILED: the container test ended with exit code $status"; fails=$((fails + 1)); }
left() { # left DESCRIPTION OUTPUT: OUTPUT, what a search found left behind, is empty.
  if [ -z "$2" ]; then passes=$((passes + 1)); else echo "FAILED: $1: $2"; fails=$((fails + 1)); fi
}
left "no mount of the test left" "$(grep -F "$work" /proc/mounts)"
left "no container process left" "$(ps -eo pid=,args= | grep -F "$work/root" | grep -v grep)"
left "no control group of the test left" "$(xargs -r ls -d <"$work/cgroups" 2>/dev/null)"
left "UDP port 99 is free again" "$(ss -Huln 'sport = :99')"
left "this machine has no keltup-server" "$(ls -d /usr/bin/keltup-server /etc/keltup /var/lib/private/keltup-server 2>/dev/null)"
echo "(container test: $((SECONDS - start)) s)"
# A container that could not boot here: skipped, once nothing of it is left.
[ ! -e "$work/skipped" ] || [ "$fails" -gt 0 ] || exit 77
echo "container: $passes passed, $fails failed"
[ "$fails" -eq 0 ]
