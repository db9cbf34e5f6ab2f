#!/usr/bin/env bash
# The machine hive that an installation made under /var/lib/vantor/registry (as root) is the one
# every user reads: a provider registered there is listed for a user, and the user's attempt to
# register one there is refused and named. Only where no machine hive exists does a user keep a
# private one (registration without root). Run with a fresh tmpfs on /var/lib in a private mount
# namespace, as root and as the user "nobody".
# regsvr run by the user on the automation server is refused the same way, with what to do.
#   machine_hive_users.sh CSPTOOL REGSVR SERVER.so
set -uo pipefail
csptool=$1
regsvr=$2
server=$3
if [ "$(id -u)" != 0 ]; then
    echo "SKIPPED: the check switches users and mounts a private /var/lib: it needs root"
    exit 77
fi
for tool in unshare setpriv; do
    command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit 77; }
done
if [ -z "${VANTOR_MACHINE_HIVE_INNER:-}" ]; then
    export VANTOR_MACHINE_HIVE_INNER=1
    exec unshare --mount --propagation private "$0" "$@"
fi

mount -t tmpfs -o mode=755 tmpfs /var/lib || { echo "FAILED: cannot mount a private /var/lib" >&2; exit 1; }
work=$(mktemp -d /tmp/vantor-hive.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir -p "$work/root-home" "$work/user-home"
chown nobody "$work/user-home"
unset VANTOR_REGISTRY_DIR XDG_DATA_HOME
failures=0
fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}
as_root() { HOME=$work/root-home "$csptool" "$@"; }
as_user() { setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$work/user-home" "$csptool" "$@"; }

# The package's postinst, in short: root registers into /var/lib/vantor/registry.
as_root register "Installed Provider" /usr/lib/vantor-suite/installed.so >/dev/null ||
    fail "root cannot register in /var/lib/vantor/registry"
[ -f /var/lib/vantor/registry/machine.db ] || fail "root's registration is not in /var/lib"

as_user list-providers >"$work/out" 2>"$work/err" || fail "a user cannot list: $(cat "$work/err")"
grep -q " Installed Provider$" "$work/out" ||
    fail "a user does not see the provider registered in the machine hive: $(cat "$work/out")"
if as_user register "User Provider" /tmp/user.so >/dev/null 2>"$work/err"; then
    fail "a user registered a provider in the machine hive"
fi
grep -q "ERROR_ACCESS_DENIED" "$work/err" || fail "the refusal is not named: $(cat "$work/err")"
as_root list-providers | grep -q "User Provider" && fail "the user's registration reached the hive"
setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$work/user-home" "$regsvr" \
    "$server" >/dev/null 2>"$work/err" && fail "a user registered a server in the machine hive"
grep -q "needs root; VANTOR_REGISTRY_DIR=DIR" "$work/err" ||
    fail "regsvr does not say what to do: $(cat "$work/err")"
# Root writes again while the user's view stays current.
as_root unregister "Installed Provider" >/dev/null || fail "root cannot unregister"
as_user list-providers | grep -q "Installed Provider" && fail "a user still sees the removed provider"

# No machine hive on this machine: a user registers into a private one.
rm -rf /var/lib/vantor
as_user register "Own Provider" /tmp/own.so >/dev/null 2>"$work/err" ||
    fail "without a machine hive a user cannot register privately: $(cat "$work/err")"
as_user list-providers | grep -q " Own Provider$" || fail "the private registration is not listed"
[ -e /var/lib/vantor/registry/machine.db ] && fail "a user's registration made the machine hive"
[ -f "$work/user-home/.local/share/vantor/registry/machine.db" ] ||
    fail "the private machine hive is not beside the user hive"

if [ "$failures" != 0 ]; then
    echo "machine hive users: $failures failed" >&2
    exit 1
fi
echo "machine hive users: the installed hive is read by users, written by root only"
