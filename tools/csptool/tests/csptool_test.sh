#!/bin/bash
# csptool end to end in a private key store: a signature made through the Enhanced provider
# verifies with the openssl command against the exported PEM key, in both byte orders, and a
# changed file does not verify.
set -euo pipefail
csptool=$1
test_provider=$2
if ! command -v openssl > /dev/null; then
    echo "SKIPPED: the openssl command is not installed"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VANTOR_REGISTRY_DIR=$work/registry

fail() { echo "FAIL: $*" >&2; exit 1; }

"$csptool" list | grep -q "Microsoft Enhanced Cryptographic Provider v1.0" || fail "list"
"$csptool" create signer
"$csptool" genkey signer --bits 2048
head -c 100000 /dev/urandom > "$work/data"

for hash in sha256 sha1 sha512; do
    "$csptool" sign signer "$work/data" --hash $hash -o "$work/sig.be"
    [ "$(stat -c %s "$work/sig.be")" = 256 ] || fail "signature size"
    "$csptool" pubkey signer -o "$work/pub.pem"
    openssl dgst -$hash -verify "$work/pub.pem" -signature "$work/sig.be" "$work/data" \
        | grep -q "Verified OK" || fail "openssl does not verify the $hash signature"
    "$csptool" verify signer "$work/data" "$work/sig.be" --hash $hash > /dev/null \
        || fail "csptool does not verify its own $hash signature"
done

# --le writes CryptoAPI's order: the same bytes reversed.
"$csptool" sign signer "$work/data" --le -o "$work/sig.le"
"$csptool" sign signer "$work/data" -o "$work/sig.be"
hexbytes() { od -An -v -tx1 "$1" | tr -s ' \n' '\n' | sed '/^$/d'; }
[ "$(hexbytes "$work/sig.le" | tac)" = "$(hexbytes "$work/sig.be")" ] \
    || fail "--le is not the reversed signature"
"$csptool" verify signer "$work/data" "$work/sig.le" --le > /dev/null || fail "verify --le"

# A changed file fails with exit code 2 and names the cause.
echo x >> "$work/data"
if "$csptool" verify signer "$work/data" "$work/sig.be" 2> "$work/err"; then
    fail "a changed file verified"
fi
grep -q NTE_BAD_SIGNATURE "$work/err" || fail "no cause named: $(cat "$work/err")"

# The Base provider sees the same container; a missing container is named.
"$csptool" sign signer "$work/data" -p "Microsoft Base Cryptographic Provider v1.0" --hash sha1 \
    -o "$work/sig.base"
openssl dgst -sha1 -verify "$work/pub.pem" -signature "$work/sig.base" "$work/data" \
    | grep -q "Verified OK" || fail "openssl does not verify the Base provider's signature"
"$csptool" sign nosuch "$work/data" 2> "$work/err" && fail "signed with a missing container"
grep -q 'NTE_BAD_KEYSET' "$work/err" || fail "missing container not named"
"$csptool" delete signer

# A registered provider image is listed and reached by name; unregistering removes it.
"$csptool" register "Test Image Provider" "$test_provider"
"$csptool" list | grep -q "^1 *Test Image Provider$" || fail "registered provider not listed"
"$csptool" create c -p "Test Image Provider" 2> "$work/err" && fail "test image made a container"
grep -q "Test Image Provider" "$work/err" || fail "provider not named: $(cat "$work/err")"
"$csptool" unregister "Test Image Provider"
"$csptool" list | grep -q "Test Image Provider" && fail "unregistered provider still listed"
echo "csptool: all checks passed"
