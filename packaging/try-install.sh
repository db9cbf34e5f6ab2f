#!/usr/bin/env bash
# Installs the vantor-suite package of a build tree into a throw-away root with dpkg, starts the
# installed programs from there, and removes the package again:
#   - dpkg --root ROOT --force-script-chrootless: dpkg's own bookkeeping in ROOT/var/lib/dpkg,
#     the maintainer scripts run on this machine with DPKG_ROOT=ROOT (the root holds no system
#     to chroot into), so postinst registers in ROOT/var/lib/vantor/registry;
#   - ROOT/usr/bin/tesmira --version and ROOT/usr/bin/csptool list-providers, which must list
#     the card provider; a Pavlox object made by ProgID through the installed scripting client;
#   - dpkg --remove: the registrations and the files are gone.
# The package's dependencies are this machine's libraries (--force-depends: ROOT's dpkg database
# knows none of them). The build tree is left as it was.
#   try-install.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
if [ "$(id -u)" != 0 ]; then
    echo "SKIPPED: installing into a root with dpkg needs root"
    exit 77
fi

work=$(mktemp -d /tmp/vantor-install.XXXXXX)
manifest=$build/install_manifest.txt
if [ -e "$manifest" ]; then
    cp -p "$manifest" "$work/manifest.saved"
    trap 'mv -f "$work/manifest.saved" "$manifest"; rm -rf "$work"' EXIT
else
    trap 'rm -f "$manifest"; rm -rf "$work"' EXIT
fi
failures=0
fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; echo "FAILED: cpack" >&2; exit 1; }
deb=$(find "$work/out" -maxdepth 1 -name 'vantor-suite_*.deb')

root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers" \
    "$root/var/log"
touch "$root/var/lib/dpkg/status"
dpkg=(dpkg --root="$root" --log="$root/var/log/dpkg.log" --force-script-chrootless
    --force-depends)

# Nothing of the build tree or the caller's environment may help the installed programs.
run() {
    env -u LD_LIBRARY_PATH -u LD_PRELOAD -u PYTHONPATH VANTOR_REGISTRY_DIR="$root/var/lib/vantor/registry" \
        HOME="$work/home" QT_QPA_PLATFORM=offscreen "$@"
}
provider="Vantor Cryptographic Service Provider"
forwarding="Vantor Forwarding Cryptographic Service Provider"
pavlox_check='import vantorcom; print("Pavlox.VariantCollection", vantorcom.Dispatch("Pavlox.VariantCollection").Count)'

echo "== dpkg --install $(basename "$deb") into $root"
# The dependency complaints (this root has no system) are summed up in one line.
"${dpkg[@]}" --install "$deb" 2>&1 |
    sed -E '/^ vantor-suite depends on |^  Package .* is not installed\.$/d;
            s/^dpkg: vantor-suite: dependency problems, but configuring anyway.*/(dependencies: this machine'"'"'s libraries)/' || true
"${dpkg[@]}" --status vantor-suite | grep -q "^Status: install ok installed" ||
    fail "dpkg does not report vantor-suite installed"

echo "== $root/usr/bin/tesmira --version"
if version=$(run "$root/usr/bin/tesmira" --version); then
    echo "$version"
    grep -q "^tesmira (Vantor suite) " <<<"$version" || fail "tesmira --version prints '$version'"
else
    fail "the installed tesmira does not start"
fi
echo "== $root/usr/bin/csptool list-providers"
if providers=$(run "$root/usr/bin/csptool" list-providers); then
    echo "$providers"
    grep -q " $provider\$" <<<"$providers" || fail "the card provider was not registered at install"
    if [ -e "$root/usr/lib/vantor-suite/vantor1.so" ]; then
        grep -q " $forwarding\$" <<<"$providers" ||
            fail "the forwarding provider was not registered at install"
    fi
else
    fail "the installed csptool does not start"
fi
echo "== a Pavlox object by ProgID through the installed scripting client"
if run env PYTHONPATH="$root/usr/lib/vantor-suite" /usr/bin/python3 -c "$pavlox_check"; then
    :
else
    fail "pavlox.so was not registered at install, or the scripting client does not load"
fi
# A program in bin finds a library it loads by its Windows name ("cryptui.dll") through its run
# path: with no display the viewer loads and then refuses to open a window.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
    -subj /CN=Install -days 2 2>/dev/null
run env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/certstore" view \
    "$work/cert.pem" 2>"$work/err" && fail "the viewer opened without a display"
grep -q "could not open a window" "$work/err" ||
    fail "the installed certstore does not load cryptui.dll: $(cat "$work/err")"
for program in certstore regsvr msglist; do
    run "$root/usr/bin/$program" --version >/dev/null || fail "the installed $program does not start"
done
man -l "$root/usr/share/man/man1/csptool.1" >/dev/null 2>&1 || fail "man -l csptool.1 fails"

echo "== dpkg --remove vantor-suite"
"${dpkg[@]}" --remove vantor-suite >/dev/null
[ -e "$root/usr/bin/tesmira" ] && fail "tesmira stays after removal"
# The registrations are gone: csptool of the build tree reads the same hive.
if run "$build/bin/csptool" list-providers | grep -qE " ($provider|$forwarding)\$"; then
    fail "a provider stays registered after removal"
fi
pavlox_keys=$(sqlite3 "$root/var/lib/vantor/registry/machine.db" \
    "SELECT count(*) FROM keys WHERE path LIKE '%Pavlox.%'")
[ "$pavlox_keys" = 0 ] || fail "Pavlox stays registered after removal ($pavlox_keys keys)"

if [ "$failures" != 0 ]; then
    echo "install into a throw-away root: $failures failed" >&2
    exit 1
fi
echo "install into a throw-away root: installed, started, registered, removed"
