#!/usr/bin/env bash
# Runs a command inside the card bench's private mount namespace: /run/pcscd is replaced by a
# private directory, so the bench's own pcscd (started by the CTest fixture) and every PC/SC
# client in the command meet there and never touch a system pcscd.
#   tools/bench/in-bench.sh ctest --preset default
set -euo pipefail
if [ "${VANTOR_BENCH_NS:-}" = 1 ]; then
    exec "$@"  # already inside
fi
if [ "$(id -u)" != 0 ]; then
    echo "in-bench: the card bench needs root (a private mount namespace)" >&2
    exit 1
fi
rundir=$(mktemp -d /tmp/vantor-pcscd.XXXXXX)
trap 'rm -rf "$rundir"' EXIT
export VANTOR_BENCH_NS=1 VANTOR_BENCH_RUNDIR="$rundir"
unshare --mount --propagation private -- bash -c '
    set -e
    mkdir -p /run/pcscd
    mount --bind "$VANTOR_BENCH_RUNDIR" /run/pcscd
    exec "$@"' bench "$@"
