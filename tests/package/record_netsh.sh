# Sourced by the installer tests: netsh.exe in the Wine prefix becomes keltup-record-call.exe,
# which appends each call's command line to the file $calls, and is put back when the test ends,
# whatever happens. Needs $build (the Windows build folder) and WINEPREFIX.
netsh="$WINEPREFIX/drive_c/windows/system32/netsh.exe"
calls=$(mktemp)
cp "$netsh" "$calls.netsh"
trap 'cp "$calls.netsh" "$netsh"; rm -f "$calls" "$calls.netsh"' EXIT
cp "$build/keltup-record-call.exe" "$netsh"
export KELTUP_RECORD_FILE=$(winepath -w "$calls" 2>/dev/null)
