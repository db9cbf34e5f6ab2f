#!/usr/bin/env bash
# Formats each manual page given with groff's man macros and every warning on; a warning or an
# error fails the check, naming the page.
#   check-man-pages.sh PAGE.1...
set -uo pipefail
if ! command -v groff >/dev/null; then
    echo "SKIPPED: groff is not installed"
    exit 77
fi
failures=0
for page in "$@"; do
    output=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$page" 2>&1)
    if [ -n "$output" ] || ! grep -q '^\.SH NAME' "$page"; then
        echo "FAILED: $page" >&2
        echo "$output" >&2
        failures=$((failures + 1))
    fi
done
[ "$failures" = 0 ] && echo "manual pages: $# formatted without warnings"
[ "$failures" = 0 ]
