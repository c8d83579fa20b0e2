#!/usr/bin/env bash
# keltup-server.exe in a console under Wine with the native Linux keltup-send: a receipt, a
# message delivered to a native UDP client, an unknown recipient's notice, the operator's status
# over the pipe. Skipped (77) when the Linux build's keltup-send is not there.
# Usage: win32_native_send.sh KELTUP-SERVER.EXE NATIVE-KELTUP-SEND WINE-RUN
set -euo pipefail
server=$1 send=$2 wine_run=$3
[ -x "$send" ] || { echo "no native keltup-send at $send: skipped"; exit 77; }
command -v python3 >/dev/null || { echo "no python3 for the native receiver: skipped"; exit 77; }
dir=$(mktemp -d)
relay_pid=
cleanup() {
  if [ -n "$relay_pid" ]; then kill "$relay_pid" 2>/dev/null || true; wait "$relay_pid" 2>/dev/null || true; fi
  if [ -n "${recv_pid:-}" ]; then kill "$recv_pid" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT
fails=0
check() { if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; fails=$((fails + 1)); fi; }

# A native client for ALICE: prints the body of the first message it gets (bounded wait).
python3 - "$dir/alice" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
open(sys.argv[1] + ".port", "w").write(str(s.getsockname()[1]))
s.settimeout(60)
data, _ = s.recvfrom(2048)
open(sys.argv[1] + ".got", "wb").write(data[76:].split(b"\0")[0])
PY
recv_pid=$!
for _ in $(seq 100); do [ -s "$dir/alice.port" ] && break; sleep 0.1; done
printf 'ALICE = 127.0.0.1:%s\r\n' "$(cat "$dir/alice.port")" >"$dir/users"

control="ktw-native-$$"
"$wine_run" "$server" --bind 127.0.0.1 --port 0 --control "$control" --state none \
  --users "$(winepath -w "$dir/users" 2>/dev/null)" >"$dir/log" 2>&1 &
relay_pid=$!
port=
for _ in $(seq 300); do
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$dir/log" 2>/dev/null | tr -d '\r' || true)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { cat "$dir/log"; echo "FAILED: the relay did not start"; exit 1; }

check "native keltup-send gets its receipt" "$send" --port "$port" --from BOB ALICE "from linux"
for _ in $(seq 100); do [ -s "$dir/alice.got" ] && break; sleep 0.1; done
check "the message is delivered to the native client" test "$(cat "$dir/alice.got" 2>/dev/null)" = "from linux"
"$send" --port "$port" --from BOB NOBODY "hello?" 2>"$dir/unknown" || true
check "an unknown recipient's notice is shown" grep -q "Nobody called NOBODY is known" "$dir/unknown"
"$wine_run" "$server" --status --control "$control" >"$dir/status" 2>&1 || true
check "status over the pipe: delivered" grep -Eq '^delivered +1' "$dir/status"
check "status over the pipe: unknown recipients" grep -Eq '^unknown recipients +1' "$dir/status"
check "status over the pipe: BOB learned" grep -Eq '^BOB +127\.0\.0\.1:[0-9]+ +learned' "$dir/status"
[ "$fails" -eq 0 ] || { cat "$dir/log" "$dir/status"; exit 1; }
