#!/bin/bash
# certstore end to end in a private store directory: add (DER and PEM) with key information,
# list and keyinfo show it, a repeated add leaves it as it was, delete removes it, and failures
# name their cause with a non-zero exit code.
set -u
certstore="$1"
dir=$(mktemp -d /tmp/certstore-test-XXXXXX)
trap 'rm -rf "$dir"' EXIT
export VANTOR_REGISTRY_DIR="$dir"
fail() { echo "FAIL: $*"; exit 1; }

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$dir/k.pem" -out "$dir/c.pem" -days 30 \
    -subj "/C=IT/O=Vantor Test/CN=Mario Rossi" \
    -addext "extendedKeyUsage=1.3.6.1.4.1.311.20.2.2" 2>/dev/null || fail "openssl"
openssl x509 -in "$dir/c.pem" -outform DER -out "$dir/c.der" || fail "openssl der"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$dir/k2.pem" -out "$dir/root.pem" -days 30 \
    -subj "/CN=Test Root" 2>/dev/null || fail "openssl root"

"$certstore" add MY "$dir/c.der" --container 'key01@1000000000000014' >/dev/null || fail "add der"
"$certstore" --machine add ROOT "$dir/root.pem" >/dev/null || fail "add pem to machine"
out=$("$certstore" list MY) || fail "list"
grep -q "CN=Mario Rossi, O=Vantor Test, C=IT" <<<"$out" || fail "subject missing: $out"
grep -q "container   key01@1000000000000014" <<<"$out" || fail "container missing: $out"
grep -q "1 certificate(s) in MY (current user)" <<<"$out" || fail "count: $out"
"$certstore" list ROOT | grep -q "0 certificate(s)" || fail "user ROOT should be empty"
"$certstore" --machine list ROOT | grep -q "Test Root" || fail "machine ROOT"

# Adding the same certificate again (PEM this time) keeps the stored key information.
"$certstore" add MY "$dir/c.pem" --container 'other@X' | grep -q "already in MY" || fail "re-add"
"$certstore" keyinfo MY 1 | grep -q "key01@1000000000000014" || fail "keyinfo changed"
"$certstore" show MY 1 | grep -q "purposes     Smart Card Logon" || fail "show purposes"

# Failures: a file that is no certificate, a store that does not exist, an unknown certificate.
echo "not a certificate" >"$dir/bad.der"
err=$("$certstore" add MY "$dir/bad.der" 2>&1) && fail "bad file accepted"
grep -q "CRYPT_E_ASN1_BADTAG" <<<"$err" || fail "bad file error: $err"
err=$("$certstore" list NoSuchStore 2>&1) && fail "missing store listed"
grep -q "ERROR_FILE_NOT_FOUND" <<<"$err" || fail "missing store error: $err"
"$certstore" delete MY 7 2>/dev/null && fail "deleted a certificate that is not there"

# Without any display the viewer refuses at once instead of hanging.
err=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 20 "$certstore" view "$dir/c.pem" 2>&1)
rc=$?
[ $rc -eq 1 ] || fail "view without display: exit $rc"
grep -q "could not open a window" <<<"$err" || fail "view without display: $err"

"$certstore" delete MY 1 | grep -q "deleted from MY: Mario Rossi" || fail "delete"
"$certstore" list MY | grep -q "0 certificate(s)" || fail "not deleted"
echo "certstore: all checks passed"
