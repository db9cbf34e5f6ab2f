#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for building, testing and the demo. Idempotent:
# packages already present are not fetched again, so a second run costs a few seconds.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git
    clang clang-format libclang-rt-14-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    pcscd libpcsclite-dev vsmartcard-vpcd
    libssl-dev openssl libsqlite3-dev sqlite3 xxd
    softhsm2 opensc python3-pykcs11 python3-dev libp11-kit-dev
    qt6-base-dev xvfb xauth imagemagick twm xfonts-base
    python3 util-linux iproute2 procps
    dpkg-dev groff-base man-db desktop-file-utils
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "bootstrap: missing packages (${missing[*]}); run as root to install them" >&2
        exit 1
    fi
    echo "bootstrap: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The Debian pcscd package may start a system daemon; the bench never uses it, but stopping
# it keeps a stray daemon from holding the vpcd ports the bench picks.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet pcscd.socket 2>/dev/null; then
    systemctl stop pcscd.socket pcscd.service >/dev/null 2>&1 || true
fi
echo "bootstrap: ok"
