#!/usr/bin/env bash
# Removes the token bench made by token-bench-setup.sh (only a directory it marked as its own).
set -euo pipefail
dir=${1:?usage: token-bench-cleanup.sh DIR}
if [ -e "$dir/.token-bench" ]; then
    rm -rf "$dir"
fi
