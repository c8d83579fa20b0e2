#!/usr/bin/env bash
# The Windows installer under Wine, as a user and an administrator meet it: a silent install puts
# the program, its shortcuts and its Uninstall entry in place; the installed program starts from
# its Start-menu shortcut into the first-run settings dialog; an install or uninstall while it runs
# is refused, and the wizard waits for the user to exit it; an upgrade replaces the program; a silent uninstall removes everything but the
# user's settings file. None of this calls netsh. Then the machine-wide install (/ALLUSERS): Program
# Files, the all-users shortcuts, HKLM, and the firewall rule added and removed again. Wine keeps
# no firewall rules: netsh.exe is replaced for the test by a program that records its calls. The
# MSI, when given, the same way through msiexec.
#
# Usage: tests/package/installer.sh SETUP.EXE WINDOWS-BUILD-DIR [KELTUP.MSI]
# Needs DISPLAY and WINEPREFIX (scripts/test sets both up).
set -euo pipefail
setup=$(realpath "$1")
build=$(realpath "$2")
msi=${3:+$(realpath "$3")}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;netsh.exe=n"
. "$(dirname "$0")/record_netsh.sh"
fails=0
passes=0
check() { # check DESCRIPTION COMMAND...
  if "${@:2}"; then passes=$((passes + 1)); else echo "FAILED: $1"; fails=$((fails + 1)); fi
}
winvar() { wine cmd /c echo "%$1%" 2>/dev/null | tr -d '\r'; }
unix() { winepath -u "$1" 2>/dev/null; }
drive() { wine "$build/keltup-drive.exe" "$@" 2>/dev/null | tr -d '\r'; }
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\KelTup'
regval() { # regval NAME [KEY]
  wine reg query "${2:-$key}" /v "$1" 2>/dev/null | tr -d '\r' | awk -v n="$1" '$1 == n { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'
}

inst_win="$(winvar LOCALAPPDATA)\\Programs\\KelTup"
inst=$(unix "$inst_win")
programs=$(unix "$(winvar APPDATA)\\Microsoft\\Windows\\Start Menu\\Programs")
startup="$programs/$(ls "$programs" | grep -ix startup)"  # Wine spells it StartUp
ini=$(unix "$(winvar APPDATA)\\KelTup\\KELTUP.INI")
# Polls a bounded number of times for the settings dialog's save.
wait_saved() { for _ in $(seq 100); do grep -qs 'servername=127.0.0.1' "$ini" && return 0; sleep 0.1; done; return 1; }
# Polls (a bounded number of times) until the uninstaller, which runs from a copy of itself in
# the temporary folder, has removed the program.
wait_removed() { for _ in $(seq 300); do [ -e "${1:-$inst}" ] || return 0; sleep 0.1; done; return 1; }

all_win="$(winvar ProgramW6432)\\KelTup"
all=$(unix "$all_win")

# A clean start: no earlier install, no settings file.
[ -e "$inst/uninstall.exe" ] && { wine "$inst/uninstall.exe" /S || true; wait_removed || true; }
[ -e "$all/uninstall.exe" ] && { wine "$all/uninstall.exe" /S || true; wait_removed "$all" || true; }
rm -f "$ini"
: >"$calls"

echo "--- silent install"
check "silent install exits 0" wine "$setup" /S
check "keltup.exe installed as built" cmp -s "$build/keltup.exe" "$inst/keltup.exe"
check "uninstaller installed" test -f "$inst/uninstall.exe"
check "Start-menu shortcut" test -f "$programs/KelTup.lnk"
check "Startup shortcut (on by default)" test -f "$startup/KelTup.lnk"
check "Uninstall entry: name" test "$(regval DisplayName)" = KelTup
check "Uninstall entry: version" test "$(regval DisplayVersion)" = 0.9.4
check "Uninstall entry: publisher" test "$(regval Publisher)" = "KelTup developers"
check "Uninstall entry: icon" test "$(regval DisplayIcon)" = "$inst_win\\keltup.exe,0"
check "Uninstall entry: quiet uninstall" test "$(regval QuietUninstallString)" = "\"$inst_win\\uninstall.exe\" /S"
size=$(regval EstimatedSize)
kb=$(( ($(stat -c %s "$inst/keltup.exe") + $(stat -c %s "$inst/uninstall.exe")) / 1024 ))
check "Uninstall entry: size in KB ($size, files $kb)" test "$((size))" -ge "$kb" -a "$((size))" -le "$((kb + 8))"

echo "--- the installed program from its Start-menu shortcut"
wine start /wait "$(winvar APPDATA)\\Microsoft\\Windows\\Start Menu\\Programs\\KelTup.lnk" &
app=$!
check "first-run settings dialog" drive wait "KelTup - Settings"
check "its server field" test "$(drive text "KelTup - Settings" 1000)" = 0.0.0.0
drive set "KelTup - Settings" 1000 127.0.0.1
drive set "KelTup - Settings" 1021 "$((40000 + RANDOM % 20000))"
drive press "KelTup - Settings" 1
check "settings saved" wait_saved

echo "--- install and uninstall while it runs"
check "silent install refused (exit 2)" test "$(wine "$setup" /S >/dev/null 2>&1; echo $?)" = 2
# _?= runs the uninstaller in place, so its exit code is its own.
check "silent uninstall refused (exit 2)" test "$(wine "$inst/uninstall.exe" /S "_?=$inst_win" >/dev/null 2>&1; echo $?)" = 2
check "program still installed" cmp -s "$build/keltup.exe" "$inst/keltup.exe"
# The wizard says so (a box with the wizard's caption, before the wizard), the user chooses Exit
# from the tray menu and Retry, and the wizard opens.
caption="KelTup 0.9.4 Setup"
wine "$setup" &
wizard=$!
drive wait "$caption" >/dev/null || true
check "the wizard asks to exit KelTup first" grep -q "choose Exit" <<<"$(drive text "$caption" 65535)"
check "Exit from the tray menu" drive pick X
check "program ended" wait "$app"
drive press "$caption" 4 || true
wizard_up() { for _ in $(seq 100); do [ "$(drive text "$caption" 1)" = "&Next >" ] && return 0; sleep 0.1; done; return 1; }
check "after Retry the wizard opens" wizard_up
check "its welcome page shows KelTup's picture" "$(dirname "$0")/wizard_picture.sh" "$caption"
kill "$wizard"
wait "$wizard" || true

echo "--- upgrade over an older install"
printf 'an older keltup.exe' >"$inst/keltup.exe"
check "silent install over it exits 0" wine "$setup" /S
check "keltup.exe replaced" cmp -s "$build/keltup.exe" "$inst/keltup.exe"

echo "--- silent uninstall"
check "silent uninstall exits 0" wine "$inst/uninstall.exe" /S
check "program folder removed" wait_removed
check "program folder gone" test ! -e "$inst"
check "Start-menu shortcut gone" test ! -e "$programs/KelTup.lnk"
check "Startup shortcut gone" test ! -e "$startup/KelTup.lnk"
check "Uninstall entry gone" test -z "$(regval DisplayName)"
check "settings file kept" grep -q 'servername=127.0.0.1' "$ini"
rm -f "$ini"
check "no firewall call for the current user" test ! -s "$calls"

echo "--- machine-wide: silent install with /ALLUSERS, then uninstall"
all_programs=$(unix "$(winvar ProgramData)\\Microsoft\\Windows\\Start Menu\\Programs")
all_startup="$all_programs/$(ls "$all_programs" | grep -ix startup)"
hklm='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KelTup'
rule="name=\"KelTup\" dir=in action=allow program=\"$all_win\\keltup.exe\" protocol=UDP profile=domain,private"
check "silent install exits 0" wine "$setup" /S /ALLUSERS
check "keltup.exe in Program Files" cmp -s "$build/keltup.exe" "$all/keltup.exe"
check "nothing in the user's folder" test ! -e "$inst"
check "all-users Start-menu shortcut" test -f "$all_programs/KelTup.lnk"
check "all-users Startup shortcut" test -f "$all_startup/KelTup.lnk"
check "Uninstall entry under HKLM" test "$(regval InstallLocation "$hklm")" = "$all_win"
check "firewall rule added" grep -qF "advfirewall firewall add rule $rule" "$calls"
check "silent uninstall exits 0" wine "$all/uninstall.exe" /S
check "program folder removed" wait_removed "$all"
check "shortcuts gone" test ! -e "$all_programs/KelTup.lnk" -a ! -e "$all_startup/KelTup.lnk"
check "Uninstall entry gone" test -z "$(regval DisplayName "$hklm")"
deleted() { tail -1 "$calls" | grep -qF "advfirewall firewall delete rule name=\"KelTup\" program=\"$all_win\\keltup.exe\""; }
check "firewall rule deleted" deleted

if [ -n "$msi" ]; then
  echo "--- the MSI: msiexec /i and /x, silent"
  : >"$calls"
  # Wine's msiexec puts an all-users package's shortcuts in the user's folders.
  shortcuts() { ls "$all_programs/KelTup.lnk" "$all_startup/KelTup.lnk" "$programs/KelTup.lnk" "$startup/KelTup.lnk" 2>/dev/null | wc -l; }
  check "msiexec /i exits 0" wine msiexec /i "$(winepath -w "$msi" 2>/dev/null)" /qn
  check "keltup.exe in Program Files" cmp -s "$build/keltup.exe" "$all/keltup.exe"
  # Polls a bounded number of times: Wine's shell writes them a moment after msiexec ends.
  wait_shortcuts() { for _ in $(seq 50); do [ "$(shortcuts)" = "$1" ] && return 0; sleep 0.1; done; return 1; }
  check "Start-menu and Startup shortcuts" wait_shortcuts 2
  check "firewall rule added" grep -qF "advfirewall firewall add rule $rule" "$calls"
  check "msiexec /x exits 0" wine msiexec /x "$(winepath -w "$msi" 2>/dev/null)" /qn
  check "program folder removed" wait_removed "$all"
  check "shortcuts gone" wait_shortcuts 0
  check "firewall rule deleted" deleted
fi

echo "installer: $passes passed, $fails failed"
[ "$fails" -eq 0 ]
