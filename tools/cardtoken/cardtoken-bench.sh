#!/usr/bin/env bash
# The reader-slot token bench by hand: a private pcscd with the two vpcd readers, cardsim cards
# and cardtoken.so's configuration, all in BUILD/cardtoken-bench (BUILD = $VANTOR_BUILD_DIR,
# default build/default). Root is needed for the private mount namespace of pcscd.
#   cardtoken-bench.sh make-conf DIR            keys and configuration in DIR (tests use this)
#   cardtoken-bench.sh start [SCENARIO]         fresh bench (tokens too), card in reader 0
#   cardtoken-bench.sh insert SCENARIO [0|1]    a card into reader "Virtual PCD 00 0N"
#   cardtoken-bench.sh remove [0|1]             takes the card out
#   cardtoken-bench.sh run CMD [ARGS...]        CMD on the bench, CARDTOKEN_CONF set
#   cardtoken-bench.sh stop                     cards out, pcscd stopped
# SCENARIO is a file or a name from tools/cardsim/scenarios (token-cns, token-m4, ...).
# CARDTOKEN_BENCH_DIR moves the bench's folder (the demo keeps its own under build/demo).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${VANTOR_BUILD_DIR:-$root/build/default}
bench="$root/tools/bench"
dir=${CARDTOKEN_BENCH_DIR:-$build/cardtoken-bench}

die() {
    echo "cardtoken-bench: $*" >&2
    exit 1
}

make_conf() {
    local out=$1
    mkdir -p "$out/keys"
    out=$(cd "$out" && pwd)
    cp "$here/bench/cardtoken.conf" "$out/cardtoken.conf"
    local k="$out/keys"
    (
        umask 077
        cd "$k"
        gen() {  # NAME SUBJECT: key + self-signed certificate
            openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1-key.pem" -out "$1-cert.pem" \
                -days 3650 -subj "$2" 2>/dev/null
        }
        p12() {  # NAME: PKCS#12 of NAME's key and certificate, password "bench"
            openssl pkcs12 -export -inkey "$1-key.pem" -in "$1-cert.pem" -name "$1" \
                -passout pass:bench -out "$1.p12"
        }
        gen ca "/CN=Vantor Bench CA/O=Vantor Bench"
        gen cns "/CN=CNS Bench Holder/O=Vantor Bench" && p12 cns
        gen m4 "/CN=M4 Bench Holder/O=Vantor Bench"
        gen fullp11 "/CN=FullP11 Bench Holder/O=Vantor Bench" && p12 fullp11
        gen pinpad "/CN=PIN Pad Bench Holder/O=Vantor Bench" && p12 pinpad
        mv ca-cert.pem ca.pem
    )
    echo "$out/cardtoken.conf"
}

state_value() {
    sed -n "s/^$1=//p" "$dir/state" 2>/dev/null
}

# Runs a command in the mount namespace of the bench's pcscd (where /run/pcscd is private).
in_ns() {
    local pid
    pid=$(state_value pid)
    [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = pcscd ] ||
        die "no bench running (cardtoken-bench.sh start)"
    if [ "${VANTOR_BENCH_NS:-}" = 1 ] && [ "$(readlink /proc/self/ns/mnt)" = "$(state_value mntns)" ]; then
        "$@"
    else
        nsenter --mount="/proc/$pid/ns/mnt" --wd="$PWD" -- env VANTOR_BENCH_NS=1 "$@"
    fi
}

scenario_file() {
    if [ -f "$1" ]; then echo "$1"; else echo "$root/tools/cardsim/scenarios/$1.card"; fi
}

insert() {
    local scenario reader=${2:-0} port
    scenario=$(scenario_file "$1")
    [ -f "$scenario" ] || die "no scenario $1"
    case "$reader" in 0 | 1) ;; *) die "reader is 0 or 1" ;; esac
    remove "$reader" >/dev/null 2>&1 || true
    port=$(($(state_value port) + reader))
    # cardsim talks to vpcd over TCP: it needs no namespace, and outlives this script.
    setsid "$build/bin/cardsim" --port "$port" --scenario "$scenario" \
        --log "$dir/card$reader.log" </dev/null >"$dir/card$reader.out" 2>&1 &
    echo $! >"$dir/card$reader.pid"
    in_ns "$build/bin/bench_probe" wait-card "Virtual PCD 00 0$reader" present 10000 ||
        die "the card did not appear (see $dir/card$reader.out)"
    echo "cardtoken-bench: $(basename "$scenario" .card) in Virtual PCD 00 0$reader"
}

remove() {
    local reader=${1:-0} pid
    pid=$(cat "$dir/card$reader.pid" 2>/dev/null || true)
    rm -f "$dir/card$reader.pid"
    # Only the cardsim we started: the pid must still be one.
    if [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = cardsim ]; then
        kill -TERM "$pid"
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
    fi
    in_ns "$build/bin/bench_probe" wait-card "Virtual PCD 00 0$reader" absent 5000 ||
        die "reader $reader still holds a card"
    echo "cardtoken-bench: Virtual PCD 00 0$reader is empty"
}

stop() {
    [ -f "$dir/state" ] || return 0
    for r in 0 1; do
        [ -f "$dir/card$r.pid" ] && remove "$r" >/dev/null 2>&1 || true
    done
    "$bench/pcscd-stop.sh" "$dir" >/dev/null
    echo "cardtoken-bench: stopped"
}

start() {
    [ "$(id -u)" = 0 ] || die "the bench needs root (a private mount namespace for pcscd)"
    for t in cardsim bench_probe cardtoken.so; do
        [ -e "$build/bin/$t" ] || die "$build/bin/$t is missing (build cardsim bench_probe cardtoken)"
    done
    stop
    # Only a directory this script made is cleared.
    if [ -e "$dir" ]; then
        [ -e "$dir/.cardtoken-bench" ] || die "$dir is not a cardtoken bench directory"
        rm -rf "$dir"
    fi
    mkdir -p "$dir/run"
    touch "$dir/.cardtoken-bench"
    make_conf "$dir" >/dev/null
    # pcscd lives on in its own mount namespace, whose /run/pcscd is $dir/run; `run` and the
    # card waits enter it through the daemon's pid.
    unshare --mount --propagation private -- env VANTOR_BENCH_NS=1 bash -c '
        set -e
        mkdir -p /run/pcscd
        mount --bind "$1/run" /run/pcscd
        "$2/pcscd-start.sh" "$1" "$3/bin/bench_probe" >/dev/null' bench "$dir" "$bench" "$build"
    echo "cardtoken-bench: pcscd $(state_value pid) with Virtual PCD 00 00 and 00 01;" \
        "CARDTOKEN_CONF=$dir/cardtoken.conf"
    if [ $# -ge 1 ]; then
        insert "$1" 0
    fi
}

cmd=${1:-}
[ $# -ge 1 ] && shift
case "$cmd" in
    make-conf) [ $# -eq 1 ] || die "usage: make-conf DIR"; make_conf "$1" ;;
    start) start "$@" ;;
    insert) [ $# -ge 1 ] || die "usage: insert SCENARIO [0|1]"; insert "$@" ;;
    remove) remove "$@" ;;
    run)
        [ $# -ge 1 ] || die "usage: run CMD [ARGS...]"
        export CARDTOKEN_CONF="$dir/cardtoken.conf"
        in_ns "$@"
        ;;
    stop) stop ;;
    *) sed -n '2,13s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
esac
