#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the default and the sanitizer presets, and
# runs their CTest suites on the card bench (private pcscd + cardsim, SoftHSM2 token bench); then
# installs the default build's Debian package into a throw-away root and starts its programs.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/bootstrap.sh

jobs=$(nproc)
status=0
for preset in default sanitize; do
    echo "== ${preset}: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    echo "== ${preset}: tests"
    if ! tools/bench/in-bench.sh ctest --preset "$preset" -j "$jobs"; then
        status=1
    fi
done

echo "== package: install into a throw-away root"
if ! packaging/try-install.sh build/default; then
    status=1
fi
exit $status
