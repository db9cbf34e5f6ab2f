#!/usr/bin/env bash
# Runs a command with a virtual card in reader "Virtual PCD 00 00" of a private pcscd:
#   tools/bench/run-with-card.sh SCENARIO CMD [ARGS...]
# SCENARIO is a file or a name from tools/cardsim/scenarios (cns, fs-type5, ...). Outside the
# bench namespace it re-runs itself through in-bench.sh (root needed). The build tree is
# $VANTOR_BUILD_DIR, default build/default. The APDU log stays in BUILD/bench-run/apdu.log. CMD
# sees the bench's state file in VANTOR_BENCH_STATE and the card's log in VANTOR_BENCH_CARD_LOG.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
if [ $# -lt 2 ]; then
    echo "usage: run-with-card.sh SCENARIO CMD [ARGS...]" >&2
    exit 2
fi
if [ "${VANTOR_BENCH_NS:-}" != 1 ]; then
    exec "$here/in-bench.sh" "$0" "$@"
fi
build=${VANTOR_BUILD_DIR:-$root/build/default}
scenario=$1
shift
if [ ! -f "$scenario" ]; then
    scenario="$root/tools/cardsim/scenarios/$scenario.card"
fi
for tool in cardsim bench_probe; do
    if [ ! -x "$build/bin/$tool" ]; then
        echo "run-with-card: $build/bin/$tool is missing (build it, or set VANTOR_BUILD_DIR)" >&2
        exit 1
    fi
done

dir="$build/bench-run"
mkdir -p "$dir"
"$here/pcscd-start.sh" "$dir" "$build/bin/bench_probe" >/dev/null
port=$(sed -n 's/^port=//p' "$dir/state")
card_pid=
cleanup() {
    if [ -n "$card_pid" ]; then
        kill -TERM "$card_pid" 2>/dev/null || true
        wait "$card_pid" 2>/dev/null || true
    fi
    "$here/pcscd-stop.sh" "$dir" >/dev/null || true
}
trap cleanup EXIT

"$build/bin/cardsim" --port "$port" --scenario "$scenario" --log "$dir/apdu.log" &
card_pid=$!
if ! "$build/bin/bench_probe" wait-card "Virtual PCD 00 00" present 10000; then
    echo "run-with-card: the card did not appear" >&2
    exit 1
fi
# Bench-aware programs (cardolo_bench, the card tests) find this bench and its card here.
export VANTOR_BENCH_STATE="$dir/state" VANTOR_BENCH_CARD_LOG="$dir/apdu.log"
status=0
"$@" || status=$?
echo "run-with-card: APDU log in $dir/apdu.log" >&2
exit $status
