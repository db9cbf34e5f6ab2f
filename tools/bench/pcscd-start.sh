#!/usr/bin/env bash
# Starts the card bench's private pcscd with the vpcd readers on a free port pair and writes
# the bench state file. Only inside the bench's mount namespace (tools/bench/in-bench.sh).
#   pcscd-start.sh BENCH_DIR [BENCH_PROBE]
# BENCH_DIR/state then holds port=, pid=, log=, dir=, mntns= (one per line).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ "${VANTOR_BENCH_NS:-}" != 1 ]; then
    echo "pcscd-start: refused: not inside the card bench namespace;" \
         "run the tests through tools/bench/in-bench.sh (no system pcscd is touched)" >&2
    exit 77  # CTest: skipped
fi
if [ $# -lt 1 ]; then
    echo "usage: pcscd-start.sh BENCH_DIR [BENCH_PROBE]" >&2
    exit 2
fi
dir=$(mkdir -p "$1" && cd "$1" && pwd)
probe=${2:-}
if [ -z "$probe" ]; then
    probe=$(dirname "$dir")/bin/bench_probe
fi
if [ ! -x "$probe" ]; then
    echo "pcscd-start: $probe is missing (build the bench_probe target)" >&2
    exit 1
fi

# A leftover bench from an earlier run goes first, with the card logs of that run.
if [ -f "$dir/state" ]; then
    "$here/pcscd-stop.sh" "$dir" || true
fi
rm -f "$dir"/card*.log "$dir"/card*.log.out

driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
if [ ! -e "$driver" ]; then
    echo "pcscd-start: $driver is missing (Debian package vsmartcard-vpcd)" >&2
    exit 1
fi

port_free() {
    [ -z "$(ss -Htan "( sport = :$1 or sport = :$(($1 + 1)) )" 2>/dev/null)" ]
}

log="$dir/pcscd.log"
for attempt in 1 2 3 4 5; do
    # An even port in the dynamic range, both it and the next one unused.
    port=$((20000 + (RANDOM * 2 + $$ * 2) % 40000))
    port=$((port - port % 2))
    if ! port_free "$port"; then
        continue
    fi
    conf="$dir/reader.conf.d"
    rm -rf "$conf"
    mkdir -p "$conf"
    hex=$(printf '0x%04X' "$port")
    cat >"$conf/vpcd" <<CONF
FRIENDLYNAME "Virtual PCD"
DEVICENAME   /dev/null:$hex
LIBPATH      $driver
CHANNELID    $hex
CONF
    # Detached from the caller's session and output: CTest waits for the pipes of the
    # processes it started, and must not wait for the daemon.
    setsid pcscd -f -c "$conf" </dev/null >"$log" 2>&1 &
    pid=$!
    if "$probe" wait-readers 2 10000 >/dev/null 2>&1; then
        {
            echo "port=$port"
            echo "pid=$pid"
            echo "log=$log"
            echo "dir=$dir"
            echo "mntns=$(readlink /proc/self/ns/mnt)"
        } >"$dir/state.tmp"
        mv "$dir/state.tmp" "$dir/state"
        echo "pcscd-start: pcscd $pid, readers on ports $port and $((port + 1)), log $log"
        exit 0
    fi
    echo "pcscd-start: attempt $attempt on port $port failed; log follows" >&2
    tail -n 20 "$log" >&2 || true
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
done
echo "pcscd-start: no bench after 5 attempts" >&2
exit 1
