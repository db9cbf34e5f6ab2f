#!/usr/bin/env bash
# The automation library on a SoftHSM2 token: registers pavlox.so in a private registry, makes a
# private soft token, and runs pavlox/examples/token_demo.py, which lists the slots and their
# tokens through Pavlox.Pkcs11Lib and initializes the token with a new label; pkcs11-tool then
# shows the label from outside.
# VANTOR_SKIP_BUILD=1 takes the build in $VANTOR_BUILD_DIR (default build/default) as it is: the
# CTest check of the README's commands runs the script that way.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${VANTOR_SKIP_BUILD:-}" != 1 ]; then
    ./scripts/bootstrap.sh >/dev/null
    cmake --preset default >/dev/null
    if ! log=$(cmake --build --preset default -j "$(nproc)" 2>&1); then
        echo "$log" | tail -n 40 >&2
        exit 1
    fi
fi
bin=$(cd "${VANTOR_BUILD_DIR:-build/default}/bin" && pwd)
module=/usr/lib/softhsm/libsofthsm2.so

work=$(mktemp -d /tmp/vantor-token-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tokens" "$work/registry"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
    "$work/tokens" > "$work/softhsm2.conf"
export SOFTHSM2_CONF=$work/softhsm2.conf VANTOR_REGISTRY_DIR=$work/registry
softhsm2-util --init-token --free --label "Old Label" --so-pin 12345678 --pin 1234 >/dev/null
slot=$(softhsm2-util --show-slots | awk '/^Slot [0-9]+/ {s=$2} /Label: *Old Label/ {print s; exit}')

"$bin/regsvr" -s "$bin/pavlox.so"
PYTHONPATH=$bin /usr/bin/python3 pavlox/examples/token_demo.py "$module" "$slot" 12345678 "Demo Token"
echo "pkcs11-tool sees:"
pkcs11-tool --module "$module" -L 2>/dev/null | grep -E "^Slot|token label"
