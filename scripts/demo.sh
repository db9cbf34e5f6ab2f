#!/usr/bin/env bash
# The suite's main job on the built-in demo bench: installs what is missing, builds, starts a
# private pcscd with the virtual reader, inserts the virtual CNS card and identifies it through
# cardolo.so (readers, ATR, file-system type, serial).
# VANTOR_SKIP_BUILD=1 takes the build in $VANTOR_BUILD_DIR (default build/default) as it is: the
# CTest check of the README's commands runs the script that way.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${VANTOR_SKIP_BUILD:-}" != 1 ]; then
    ./scripts/bootstrap.sh >/dev/null
    cmake --preset default >/dev/null
    if ! log=$(cmake --build --preset default -j "$(nproc)" --target cardolo cardsim bench_probe vantor-demo 2>&1); then
        echo "$log" | tail -n 40 >&2
        exit 1
    fi
fi
exec tools/bench/run-with-card.sh "${1:-cns}" "${VANTOR_BUILD_DIR:-build/default}/bin/vantor-demo"
