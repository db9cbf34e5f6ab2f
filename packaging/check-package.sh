#!/usr/bin/env bash
# Builds the vantor-suite package from a build tree into a scratch folder (the build tree is
# left as it was) and checks it: its files are exactly the expected ones, every program and
# library carries the run path of the installed layout and finds all it links against inside the
# unpacked package, the maintainer scripts are there, the desktop entries validate and the
# dependencies were computed.
#   check-package.sh BUILD_DIR EXPECTED_FILES PREFIX LIBDIR
set -euo pipefail
build=$1
expected=$2
prefix=${3#/}
libdir=$4

for tool in cpack dpkg-deb readelf ldd; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIPPED: $tool is not installed"
        exit 77
    fi
done

work=$(mktemp -d /tmp/vantor-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}

# cpack's install step writes install_manifest.txt into the build tree: keep the tree as it was.
manifest=$build/install_manifest.txt
if [ -e "$manifest" ]; then
    cp -p "$manifest" "$work/manifest.saved"
    trap 'mv -f "$work/manifest.saved" "$manifest"; rm -rf "$work"' EXIT
else
    trap 'rm -f "$manifest"; rm -rf "$work"' EXIT
fi
if ! cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    echo "FAILED: cpack could not build the package" >&2
    exit 1
fi
deb=$(find "$work/out" -maxdepth 1 -name 'vantor-suite_*.deb')
if [ -z "$deb" ]; then
    echo "FAILED: cpack made no vantor-suite_*.deb" >&2
    exit 1
fi
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

# Files (not folders) in the package against the expected list.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's#^\./##' | sort >"$work/actual"
sed "/^$/d; s#^#$prefix/#" "$expected" | sort >"$work/wanted"
if ! diff -u "$work/wanted" "$work/actual" >"$work/diff"; then
    fail "the package's files differ from the expected list (- missing, + unexpected):"
    sed -n '3,$p' "$work/diff" | grep '^[-+]' >&2
fi

# Run paths, and every needed library found within the package or the system.
dpkg-deb -x "$deb" "$work/root"
while read -r file; do
    path=$work/root/$file
    head -c 4 "$path" | grep -q $'\x7fELF' || continue
    runpath=$(readelf -d "$path" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
    case $file in
        "$prefix/bin/"*) want="\$ORIGIN/../$libdir" ;;
        *) want="\$ORIGIN" ;;
    esac
    [ "$runpath" = "$want" ] || fail "$file has run path '$runpath', not '$want'"
    if env -u LD_LIBRARY_PATH ldd "$path" 2>&1 | grep -q "not found"; then
        fail "$file needs libraries it cannot find: $(env -u LD_LIBRARY_PATH ldd "$path" | grep 'not found' | tr -s ' \t\n' ' ')"
    fi
    if env -u LD_LIBRARY_PATH ldd "$path" | grep -q "$build"; then
        fail "$file takes a library from the build tree"
    fi
done <"$work/actual"

# Control data: maintainer scripts and computed dependencies.
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
    [ -x "$work/control/$script" ] || fail "no executable $script"
done
grep -q 'regsvr" "$root$libdir/pavlox.so"' "$work/control/postinst" ||
    fail "postinst does not register pavlox.so"
grep -q 'csptool" register "$provider" "$libdir/tvxcsp32.so"' "$work/control/postinst" ||
    fail "postinst does not register the card provider"
grep -q 'csptool" unregister "$provider"' "$work/control/prerm" ||
    fail "prerm does not remove the provider's registration"
if grep -q "/vantor1.so$" "$expected"; then
    grep -q '^forwarding_provider="Vantor Forwarding Cryptographic Service Provider"$' \
        "$work/control/postinst" || fail "postinst does not register the forwarding provider"
fi
depends=$(sed -n 's/^Depends: //p' "$work/control/control")
for wanted in libqt6widgets6 libpcsclite1 libssl3 libsqlite3-0 pcscd; do
    grep -q "$wanted" <<<"$depends" || fail "Depends lacks $wanted: $depends"
done

if command -v desktop-file-validate >/dev/null; then
    for entry in "$work/root/$prefix/share/applications/"*.desktop; do
        desktop-file-validate "$entry" || fail "$(basename "$entry") does not validate"
    done
fi

if [ "$failures" != 0 ]; then
    echo "package contents: $failures failed" >&2
    exit 1
fi
echo "package contents: $(wc -l <"$work/actual") files as expected"
