#!/usr/bin/env bash
# The relay's Windows installer under Wine, as an administrator meets it: a silent install puts
# keltup-server.exe and keltup-send.exe in Program Files, makes the users file from the example,
# registers the service and starts it, and sets aside what someone other than an administrator
# put in %ProgramData%\KelTup before (Wine shows a file owned by another Unix user as owned by
# someone else); an upgrade stops it, replaces the programs, keeps the
# users file and the service's options and starts it again; a silent uninstall removes the
# service and the programs and keeps the users file. Wine keeps no firewall rules: netsh.exe is
# replaced for the test by a program that records its calls, and the calls are checked; that
# Windows makes the rule from them only a real Windows shows. Then the wizard, as an administrator clicks
# through it: KelTup's picture on its welcome and finish pages, the relay running after it.
#
# Usage: tests/package/server-installer.sh SETUP.EXE WINDOWS-BUILD-DIR
# Needs DISPLAY and WINEPREFIX (scripts/test sets both up).
set -euo pipefail
setup=$(realpath "$1")
build=$(realpath "$2")
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;netsh.exe=n"
# netsh.exe as the recorder (put back at the end, whatever happens).
netsh="$WINEPREFIX/drive_c/windows/system32/netsh.exe"
calls=$(mktemp)
cp "$netsh" "$calls.netsh"
trap 'cp "$calls.netsh" "$netsh"; rm -f "$calls" "$calls.netsh"' EXIT
cp "$build/keltup-record-call.exe" "$netsh"
export KELTUP_RECORD_FILE=$(winepath -w "$calls" 2>/dev/null)
fails=0
passes=0
check() { # check DESCRIPTION COMMAND...
  if "${@:2}"; then passes=$((passes + 1)); else echo "FAILED: $1"; fails=$((fails + 1)); fi
}
winvar() { wine cmd /c echo "%$1%" 2>/dev/null | tr -d '\r'; }
unix() { winepath -u "$1" 2>/dev/null; }
regval() { # regval KEY NAME
  wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
    awk -v n="$2" '$1 == n { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'
}
svc_key='HKLM\SYSTEM\CurrentControlSet\Services\keltup-server'
uninst_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KelTupRelay'
state() { wine sc query keltup-server 2>/dev/null | tr -d '\r' | awk '$1 == "STATE" { print $4 }'; }
# Polls a bounded number of times for the service's state.
wait_state() { for _ in $(seq 100); do [ "$(state)" = "$1" ] && return 0; sleep 0.2; done; return 1; }

inst_win="$(winvar ProgramW6432)\\KelTup Relay"
inst=$(unix "$inst_win")
data=$(unix "$(winvar ProgramData)\\KelTup")
wait_removed() { for _ in $(seq 300); do [ -e "$inst/keltup-server.exe" ] || return 0; sleep 0.1; done; return 1; }

# A clean start: no earlier install or service, no users file.
[ -e "$inst/uninstall.exe" ] && { wine "$inst/uninstall.exe" /S || true; wait_removed || true; }
wine "$build/keltup-server.exe" --uninstall-service >/dev/null 2>&1 || true
rm -rf "$data"
# A users file and a state file planted by another user before the first install.
mkdir -p "$data"
printf 'EVE = 127.0.0.1:6666\r\n' >"$data/users"
printf 'keltup-server-state 1\nMALLORY 127.0.0.1:6667 0\n' >"$data/state"
chown nobody "$data/users" "$data/state"

echo "--- silent install"
check "silent install exits 0" wine "$setup" /S
check "keltup-server.exe installed as built" cmp -s "$build/keltup-server.exe" "$inst/keltup-server.exe"
check "keltup-send.exe installed as built" cmp -s "$build/keltup-send.exe" "$inst/keltup-send.exe"
check "uninstaller installed" test -f "$inst/uninstall.exe"
check "users file made from the example" grep -q '^# ALICE = 127.0.0.1:4001' "$data/users"
check "users file in CR LF" grep -q $'\r$' "$data/users"
check "service registered" test -n "$(regval "$svc_key" ImagePath)"
image=$(regval "$svc_key" ImagePath)
check "service runs the installed program with the users file ($image)" \
  test "$image" = "\"$inst_win\\keltup-server.exe\" --service --users $(winvar ProgramData)\\KelTup\\users"
check "service starts automatically" test "$(regval "$svc_key" Start)" = 0x2
check "service runs as LocalService" test "$(regval "$svc_key" ObjectName)" = "NT AUTHORITY\\LocalService"
check "service running" wait_state RUNNING
check "the relay answers its operator" sh -c "wine '$inst/keltup-server.exe' --status >/dev/null"
check "Uninstall entry" test "$(regval "$uninst_key" DisplayName)" = "KelTup Relay"
rule="advfirewall firewall add rule name=\"KelTup Relay\" dir=in action=allow protocol=UDP localport=99 program=\"$inst_win\\keltup-server.exe\""
check "firewall rule added for UDP port 99 and the relay" grep -qF "$rule" "$calls"
check "the planted users file set aside" grep -q '^EVE = ' "$data/untrusted-users"
check "the planted state file set aside" grep -q '^MALLORY ' "$data/untrusted-state"
check "the relay has neither planted nickname" \
  sh -c "! wine '$inst/keltup-server.exe' --status | grep -q '^EVE \|^MALLORY '"
rm -f "$data"/untrusted-*

echo "--- upgrade"
printf 'ALICE = 127.0.0.1:4001\r\n' >>"$data/users"
cp "$data/users" "$data/users.before"
# A changed program, to see it replaced; a changed service, to see its options kept.
printf 'x' >>"$inst/keltup-server.exe"
wine reg add "$svc_key" /v Start /t REG_DWORD /d 3 /f >/dev/null 2>&1
check "upgrade exits 0" wine "$setup" /S
check "keltup-server.exe replaced" cmp -s "$build/keltup-server.exe" "$inst/keltup-server.exe"
check "users file kept" cmp -s "$data/users" "$data/users.before"
check "service running again" wait_state RUNNING
check "service's options kept" test "$(regval "$svc_key" Start)" = 0x3
check "the relay lists the kept user" sh -c "wine '$inst/keltup-server.exe' --status | grep -q '^ALICE '"

echo "--- silent uninstall"
check "silent uninstall exits 0" wine "$inst/uninstall.exe" /S
check "programs removed" wait_removed
check "service removed" test -z "$(regval "$svc_key" ImagePath)"
check "Uninstall entry removed" test -z "$(regval "$uninst_key" DisplayName)"
check "users file kept" cmp -s "$data/users" "$data/users.before"
check "firewall rule deleted" sh -c "tail -1 '$calls' | grep -qF 'advfirewall firewall delete rule name=\"KelTup Relay\"'"

echo "--- the wizard"
# The wizard runs as an administrator, and the test's window driver does not see its windows
# under Wine: the keyboard goes to it through X, and its pages are told apart by their pictures.
caption="KelTup Relay 0.9.4 Setup"
picture="$(dirname "$0")/wizard_picture.sh"
# Enter on the wizard: its default button (Next, Install, Finish).
enter() { xdotool search --name "^$caption" windowfocus --sync key Return 2>/dev/null || true; }
wine "$setup" &
wizard=$!
check "its welcome page shows KelTup's picture" "$picture" "$caption"
enter
check "the folder page" "$picture" "$caption" gone
enter
check "its finish page shows KelTup's picture" "$picture" "$caption"
enter
# Polls (a bounded number of times) for the wizard to end; its exit code.
ended() {
  for _ in $(seq 150); do kill -0 "$wizard" 2>/dev/null || { wait "$wizard"; return; }; sleep 0.2; done
  kill "$wizard"; return 1
}
check "the wizard ends with 0" ended
check "service running after the wizard" wait_state RUNNING
check "silent uninstall exits 0" wine "$inst/uninstall.exe" /S
check "programs removed" wait_removed
rm -rf "$data"

echo "server installer: $passes passed, $fails failed"
[ "$fails" -eq 0 ]
