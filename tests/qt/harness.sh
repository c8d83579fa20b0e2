# Sourced by the scripts that run keltup on a display of their own: a scratch folder, the processes
# started (ended on exit), and the helpers to fail with the logs and to wait a bounded time.
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
# fail MESSAGE: says why, with the window tree and every log of the run, and ends the script.
fail() {
    echo "FAIL: $*" >&2
    [ -n "${DISPLAY:-}" ] && xwininfo -root -tree >"$work/windows.log" 2>&1
    for f in "$work"/*.log; do echo "--- $f" >&2; cat "$f" >&2; done
    exit 1
}
# wait_for SECONDS COMMAND...: retries the command every 0.2 s.
wait_for() {
    local limit=$(($1 * 5)) i=0
    shift
    until "$@" >/dev/null 2>&1; do
        i=$((i + 1))
        [ $i -ge $limit ] && return 1
        sleep 0.2
    done
}
