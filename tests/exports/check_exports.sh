#!/usr/bin/env bash
# Checks that a shared library exports exactly the names of its export list (.def file):
#   check_exports.sh LIBRARY.so LIBRARY.def
set -euo pipefail
lib=$1
def=$2
want=$(awk 'f && NF && $1 !~ /^;/ {print $1} /^EXPORTS/ {f=1}' "$def" | sort)
# Lower-case symbol types are locally bound (template type information the linker kept in the
# dynamic table): nothing can bind to them, so they are not exports.
have=$(nm -D --defined-only "$lib" | awk '$(NF-1) ~ /^[A-Z]$/ {print $NF}' | sed 's/@.*//' | sort -u)
if [ "$want" != "$have" ]; then
    echo "exports of $(basename "$lib") differ from $(basename "$def"):"
    diff <(echo "$want") <(echo "$have") || true
    exit 1
fi
echo "$(basename "$lib"): $(echo "$have" | wc -l) exports, exactly its list"
