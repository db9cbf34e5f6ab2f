#!/usr/bin/env bash
# Builds the token bench from scratch: a private SoftHSM2 configuration and token directory with
# a prepared token (RSA key pair, certificate, data objects), a spare token and SoftHSM's free
# slot, then writes every fact the tests need to DIR/state.
# Usage: token-bench-setup.sh DIR [MODULE]. Exit 77 (a CTest skip) when a tool is missing.
set -euo pipefail

dir=${1:?usage: token-bench-setup.sh DIR [MODULE]}
module=${2:-/usr/lib/softhsm/libsofthsm2.so}

skip() {
    echo "token bench: $*; token tests will skip" >&2
    exit 77
}

[ -r "$module" ] || skip "SoftHSM2 module $module missing (package softhsm2)"
for tool in softhsm2-util pkcs11-tool openssl; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool missing"
done

# Only a directory this script made is ever removed.
case "$dir" in
    "" | / | "$HOME") echo "token bench: refusing directory '$dir'" >&2; exit 1 ;;
esac
if [ -e "$dir" ]; then
    [ -e "$dir/.token-bench" ] || { echo "token bench: $dir is not a bench directory" >&2; exit 1; }
    rm -rf "$dir"
fi
mkdir -p "$dir/tokens"
touch "$dir/.token-bench"
dir=$(cd "$dir" && pwd)

conf=$dir/softhsm2.conf
cat >"$conf" <<EOF
# Private SoftHSM2 configuration of the token bench (made by token-bench-setup.sh).
directories.tokendir = $dir/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
EOF
export SOFTHSM2_CONF=$conf

token_label="Vantor Test Token"
so_pin=12345678
user_pin=1234
spare_label="Vantor Spare Token"
spare_so_pin=87654321
spare_user_pin=4321
key_id=01a5
key_label="Vantor Test Key"
cert_label="Vantor Test Certificate"
data_application=vantor-test
data_public_label="Vantor Public Data"
data_public_value="public data"
data_private_label="Vantor Private Data"
data_private_value="private data"

# "--free" takes SoftHSM's free slot; the token then gets a slot id derived from its serial.
init_token() {
    softhsm2-util --init-token --free --label "$1" --so-pin "$2" --pin "$3" |
        sed -n 's/.*reassigned to slot \([0-9][0-9]*\).*/\1/p'
}
token_slot=$(init_token "$token_label" "$so_pin" "$user_pin")
spare_slot=$(init_token "$spare_label" "$spare_so_pin" "$spare_user_pin")
[ -n "$token_slot" ] && [ -n "$spare_slot" ] || { echo "token bench: no slot ids" >&2; exit 1; }

# The uninitialized slot SoftHSM always adds, and the serials of both tokens.
slots=$(softhsm2-util --show-slots)
free_slot=$(awk '/^Slot [0-9]+$/ {slot=$2} /Initialized: *no/ {print slot; exit}' <<<"$slots")
serial_of() {
    awk -v want="$1" '/^Slot [0-9]+$/ {slot=$2} slot==want && /Serial number:/ {print $3; exit}' \
        <<<"$slots"
}
token_serial=$(serial_of "$token_slot")
spare_serial=$(serial_of "$spare_slot")
[ -n "$free_slot" ] && [ -n "$token_serial" ] || { echo "token bench: slots unreadable" >&2; exit 1; }

# Key and certificate are made with OpenSSL, then written to the token; the private key files
# are removed as soon as the token holds the key.
work=$dir/work
mkdir -p "$work"
umask 077
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
    -days 3650 -subj "/CN=Vantor Test User/O=Vantor Test" 2>/dev/null
openssl pkey -in "$work/key.pem" -outform DER -out "$work/key.der"
openssl pkey -in "$work/key.pem" -pubout -outform DER -out "$dir/pubkey.der"
openssl x509 -in "$work/cert.pem" -outform DER -out "$dir/cert.der"
printf '%s' "$data_public_value" >"$work/public.dat"
printf '%s' "$data_private_value" >"$work/private.dat"

# A failing step names itself and shows the tools' own words.
trap 'echo "token bench: setup failed at line $LINENO; tail of $dir/setup.log:" >&2
      tail -n 20 "$dir/setup.log" >&2 2>/dev/null || true' ERR

p11() {
    pkcs11-tool --module "$module" --token-label "$token_label" --login --pin "$user_pin" "$@" \
        >>"$dir/setup.log" 2>&1
}
p11 --write-object "$work/key.der" --type privkey --id "$key_id" --label "$key_label"
p11 --write-object "$dir/pubkey.der" --type pubkey --id "$key_id" --label "$key_label"
p11 --write-object "$dir/cert.der" --type cert --id "$key_id" --label "$cert_label"
p11 --write-object "$work/public.dat" --type data --label "$data_public_label" \
    --application-label "$data_application"
p11 --write-object "$work/private.dat" --type data --label "$data_private_label" \
    --application-label "$data_application" --private
rm -rf "$work"

# Written last and renamed into place, so a reader never sees half a state.
cat >"$dir/state.tmp" <<EOF
dir=$dir
conf=$conf
token_dir=$dir/tokens
module=$module
pkcs11_tool=$(command -v pkcs11-tool)
softhsm2_util=$(command -v softhsm2-util)
token_label=$token_label
token_serial=$token_serial
token_slot=$token_slot
so_pin=$so_pin
user_pin=$user_pin
spare_label=$spare_label
spare_serial=$spare_serial
spare_slot=$spare_slot
spare_so_pin=$spare_so_pin
spare_user_pin=$spare_user_pin
free_slot=$free_slot
key_id=$key_id
key_label=$key_label
key_bits=2048
cert_label=$cert_label
cert_der=$dir/cert.der
pubkey_der=$dir/pubkey.der
data_application=$data_application
data_public_label=$data_public_label
data_public_value=$data_public_value
data_private_label=$data_private_label
data_private_value=$data_private_value
objects_public=3
objects_all=5
EOF
mv "$dir/state.tmp" "$dir/state"
echo "token bench ready: $dir (token slot $token_slot, spare $spare_slot, free $free_slot)"
