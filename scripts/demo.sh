#!/usr/bin/env bash
# The suite's main job on the built-in demo bench: installs what is missing, builds, then runs
# the whole story without a person (tools/demo/story.sh): a CNS card and a token card in the
# virtual readers, the manager identifying them, a PIN change, a PKCS#12 import, the token's
# certificates in the user's stores, a signature through the card provider verified by OpenSSL,
# and the smart-logon certificate chosen in the setup program.
#   ./scripts/demo.sh                       the whole story, one line per step
#   ./scripts/demo.sh --interactive         the bench with both cards and the manager on $DISPLAY
#   ./scripts/demo.sh --insert SCENARIO 0|1 while --interactive runs: a card into reader 0 or 1
#   ./scripts/demo.sh --remove 0|1          while --interactive runs: the card out
#   ./scripts/demo.sh SCENARIO              one card of tools/cardsim/scenarios identified
#                                           through cardolo.so
# VANTOR_SKIP_BUILD=1 takes the build in $VANTOR_BUILD_DIR (default build/default) as it is: the
# CTest check of the README's commands runs the script that way.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    --insert | --remove) exec tools/demo/interactive.sh "${1#--}" "${@:2}" ;;
    "" | --interactive) ;;
    -*)
        sed -n '7,12s/^# \{0,1\}//p' "$0" >&2
        exit 2
        ;;
esac
if [ "${VANTOR_SKIP_BUILD:-}" != 1 ]; then
    ./scripts/bootstrap.sh >/dev/null
    cmake --preset default >/dev/null
    if ! log=$(cmake --build --preset default -j "$(nproc)" 2>&1); then
        echo "$log" | tail -n 40 >&2
        exit 1
    fi
fi
case "${1:-}" in
    "") exec tools/demo/story.sh ;;
    --interactive) exec tools/demo/interactive.sh open ;;
    *) exec tools/bench/run-with-card.sh "$1" "${VANTOR_BUILD_DIR:-build/default}/bin/vantor-demo" ;;
esac
