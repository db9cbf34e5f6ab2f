#!/usr/bin/env bash
# The command-line conventions over every program, one row per program:
#   --help      exit 0, a usage line naming the program on stdout, nothing on stderr
#   --version   exit 0, one line "NAME (Vantor suite) VERSION"
#   a mistake   (an unknown option) a non-zero exit, and on stderr the program's name, the
#               mistaken word and the way to --help
# Each answer must come within 20 seconds: a program that opens its window instead fails here
# rather than hanging the test.
#   cli_conventions.sh VERSION NAME=PATH...
set -uo pipefail
version=$1
shift
work=$(mktemp -d /tmp/vantor-cli.XXXXXX)
trap 'rm -rf "$work"' EXIT
export VANTOR_REGISTRY_DIR=$work/registry
failures=0
fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}

for row in "$@"; do
    name=${row%%=*}
    program=${row#*=}

    timeout 20 "$program" --help >"$work/out" 2>"$work/err"
    status=$?
    [ $status = 0 ] || fail "$name --help exits $status"
    grep -qiE "^usage: $name( |$)" "$work/out" || fail "$name --help shows no usage line for $name"
    [ -s "$work/err" ] && fail "$name --help writes to stderr: $(head -n 3 "$work/err")"

    timeout 20 "$program" --version >"$work/out" 2>"$work/err"
    status=$?
    [ $status = 0 ] || fail "$name --version exits $status"
    [ "$(cat "$work/out")" = "$name (Vantor suite) $version" ] ||
        fail "$name --version prints '$(head -c 200 "$work/out")'"

    timeout 20 "$program" --no-such-option >"$work/out" 2>"$work/err" </dev/null
    status=$?
    [ $status != 124 ] || fail "$name --no-such-option did not end within 20 s"
    [ $status != 0 ] || fail "$name accepts --no-such-option"
    grep -q "^$name: .*--no-such-option" "$work/err" ||
        fail "$name does not name the mistaken option: $(head -n 3 "$work/err")"
    grep -q -- "--help" "$work/err" || fail "$name does not point to --help on a mistake"
    echo "$name: --help, --version and a mistake answered"
done

if [ "$failures" != 0 ]; then
    echo "cli conventions: $failures failed" >&2
    exit 1
fi
echo "cli conventions: $# programs"
