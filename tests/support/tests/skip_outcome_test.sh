#!/usr/bin/env bash
# A GoogleTest program is reported skipped (exit 77) only when every test skipped: one failing
# test among skipped ones must fail the program, one passing test must pass it.
set -u
program=$1
status=0
check() {
    SKIP_OUTCOME_CASE=$1 "$program" >/dev/null 2>&1
    local got=$?
    if [ "$got" != "$2" ]; then
        echo "case $1: exit $got, expected $2"
        status=1
    fi
}
check skip 77
check skip+fail 1
check skip+pass 0
[ $status = 0 ] && echo "3 passed, 0 failed"
exit $status
