#!/usr/bin/env bash
# Stops the card bench's private pcscd named by BENCH_DIR/state and removes the state file.
#   pcscd-stop.sh BENCH_DIR
set -euo pipefail
if [ $# -lt 1 ]; then
    echo "usage: pcscd-stop.sh BENCH_DIR" >&2
    exit 2
fi
state="$1/state"
if [ ! -f "$state" ]; then
    echo "pcscd-stop: no bench state in $1 (nothing to stop)"
    exit 0
fi
pid=$(sed -n 's/^pid=//p' "$state")
rm -f "$state"
# Only the daemon we started: the pid must still be a pcscd.
if [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = pcscd ]; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        echo "pcscd-stop: pcscd $pid did not stop in 5 s; killing it" >&2
        kill -KILL "$pid" 2>/dev/null || true
    fi
    echo "pcscd-stop: pcscd $pid stopped"
fi
exit 0
