#!/usr/bin/env bash
# The demo bench for a person: both virtual cards in their readers and the card manager on the
# caller's display, with the cards going in and out on demand from another shell.
#   interactive.sh open                   bench, cards and tesmira; the bench stops with tesmira
#   interactive.sh insert SCENARIO 0|1    a card (tools/cardsim/scenarios) into a reader
#   interactive.sh remove 0|1             takes the card out
# scripts/demo.sh --interactive, --insert and --remove call it. The state lives in build/demo,
# as the unattended demo's does. Root is needed for the bench's mount namespace.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
# shellcheck source=tools/demo/demo-env.sh
. "$here/demo-env.sh"

die() {
    echo "demo: $*" >&2
    exit 1
}

open_bench() {
    [ -n "${DISPLAY:-}" ] || die "no display: --interactive opens the manager on \$DISPLAY"
    for f in tesmira tesmira_seed cardsim bench_probe cardolo.so pavlox.so cardtoken.so; do
        [ -e "$bin/$f" ] || die "$(shown "$bin")/$f is not built"
    done
    prepare_demo_dir
    trap stop_bench EXIT
    trap 'exit 130' INT TERM
    start_bench >"$demo/logs/bench.log" 2>&1 || die "the bench did not start: $(tail -n 1 "$demo/logs/bench.log")"
    "$bench_script" insert cns 0 >/dev/null
    "$bench_script" insert token-fullp11 1 >/dev/null
    seed_registry
    cat <<TEXT
demo: the bench is up: the CNS card (scenario cns) is in "Virtual PCD 00 00", the token card
      (token-fullp11) in "Virtual PCD 00 01". The manager opens on $DISPLAY; closing it stops
      the bench. CNS card: card-holder PIN 12345678, PUK 87654321, signature PIN 11223344.
      Token: user PIN 1234, SO PIN 12345678. From another shell, as root:
        ./scripts/demo.sh --remove 0            take the card out of "Virtual PCD 00 00" (1: "00 01")
        ./scripts/demo.sh --insert cns 0        put a card in (any scenario of tools/cardsim/scenarios)
TEXT
    # The Qt platform follows the display; a caller's offscreen setting would hide the window.
    status=0
    "$bench_script" run env -u QT_QPA_PLATFORM "$bin/tesmira" || status=$?
    echo "demo: the manager closed; the bench stops"
    exit $status
}

case "${1:-}" in
    open) open_bench ;;
    insert)
        [ $# -eq 3 ] || die "usage: --insert SCENARIO 0|1"
        "$bench_script" insert "$2" "$3"
        ;;
    remove)
        [ $# -eq 2 ] || die "usage: --remove 0|1"
        "$bench_script" remove "$2"
        ;;
    *) sed -n '2,8s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
esac
