#!/usr/bin/env bash
# The suite's whole story on the demo bench, without a person, one line per step:
#   1 a CNS card and a token card go into the two virtual readers
#   2 the manager (tesmira) identifies each of them; pictures of its window
#   3 the card-holder PIN of the CNS card is changed through cardolo.so; the card then refuses
#     the old PIN and takes the new one
#   4 a PKCS#12 file made with OpenSSL (smart-card logon usage) is imported onto the token
#     through pavlox.so
#   5 tvxcsp32's Card2WinStore copies the token's certificates into the user's stores
#   6 csptool signs a document through "Vantor Cryptographic Service Provider" with the
#     container the store names; OpenSSL verifies the signature
#   7 the setup program selects the smart-logon certificate; the token's marker names it
# The first failing step ends the story with "[FAILED] step N: ..." and exit status 1.
#
# Everything lives in build/demo (VANTOR_DEMO_DIR moves it): the bench (pcscd, cards, tokens),
# the registry with the certificate stores and key containers, the provider's lock, the files
# and the pictures; the user's own registry and stores are never touched. The build tree is
# $VANTOR_BUILD_DIR (default build/default). Root is needed for the bench's mount namespace.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
# shellcheck source=tools/demo/demo-env.sh
. "$here/demo-env.sh"

# ---------------------------------------------------------------- steps (inside the bench)

provider="Vantor Cryptographic Service Provider"
cns_reader="Virtual PCD 00 00"
token_reader="Virtual PCD 00 01"
token_slot=2 # the bench module's slot ID is the 1-based reader index
token_pin=1234
holder="Demo Card Holder"
key_id=DL01

step=0
result=
log=
driver_pid=
xvfb_pid=

on_exit() {
    if [ -n "$driver_pid" ]; then
        kill "$driver_pid" 2>/dev/null
        wait "$driver_pid" 2>/dev/null
    fi
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
}

# Runs one step: its function sets `result` and returns 0, or sets `result` to the reason and
# returns non-zero. Its commands write to the step's log, shown (the end of it) on failure.
run_step() { # TITLE FUNCTION
    step=$((step + 1))
    log=$demo/logs/step$step.log
    : >"$log"
    result=
    if "$2" >>"$log" 2>&1; then
        echo "[ok] step $step: $result"
        return 0
    fi
    echo "[FAILED] step $step: $1: ${result:-failed}"
    if [ -s "$log" ]; then
        echo "--- the end of $(shown "$log"):" >&2
        tail -n 15 "$log" >&2
    fi
    exit 1
}

# A program of the build; false (with the reason in `result`) when it is not built.
need() {
    local f
    for f in "$@"; do
        if [ ! -e "$bin/$f" ]; then
            result="$(shown "$bin")/$f is not built"
            return 1
        fi
    done
}

# Runs a program that is not ours but loads our modules (the Python interpreter, pkcs11-tool):
# with a sanitizer build, VANTOR_ASAN_RUNTIME names the runtime it needs preloaded. Our own
# programs carry the runtime already and must not get it twice.
foreign() {
    if [ -n "${VANTOR_ASAN_RUNTIME:-}" ]; then
        env LD_PRELOAD="$VANTOR_ASAN_RUNTIME" ASAN_OPTIONS=detect_leaks=0 "$@"
    else
        "$@"
    fi
}

# Puts a card in; the bench's own script waits until pcscd sees it.
insert() { "$bench_script" insert "$1" "$2"; }
remove() { "$bench_script" remove "$1"; }

# An X server for the windows whose pictures are taken; DISPLAY names it.
start_display() {
    local number=
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$demo/run/display" \
        >"$demo/logs/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do
        number=$(cat "$demo/run/display" 2>/dev/null)
        [ -n "$number" ] && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$number" ]; then
        result="Xvfb did not start (see $(shown "$demo")/logs/xvfb.log)"
        return 1
    fi
    export DISPLAY=:$number QT_QPA_PLATFORM=xcb
    # A sanitizer build's leak check leaves out what D-Bus and fontconfig keep for the life of a
    # windowed process (ignored by other builds).
    export LSAN_OPTIONS=suppressions=$here/lsan.supp
}

step_cards() {
    need cardsim bench_probe vantor-demo tesmira_seed pavlox.so cardtoken.so || return 1
    if ! insert cns 0 || ! insert token-fullp11 1; then
        result="a card did not appear in its reader"
        return 1
    fi
    seed_registry || {
        result="tesmira_seed could not prepare the registry"
        return 1
    }
    "$bin/vantor-demo" | tee "$demo/files/readers.txt" || {
        result="cardolo.so does not see both cards"
        return 1
    }
    # "[1] reader", then its ATR, file system and serial lines.
    local cards
    cards=$(awk '
        /^\[[0-9]+\]/ { sub(/^\[[0-9]+\] /, ""); reader = $0 }
        $1 == "file" { fs = $3 }
        $1 == "serial" {
            printf "%s%s: file system %s%s", sep, reader, fs, $2 == "not" ? "" : ", serial " $2
            sep = "; "
        }' "$demo/files/readers.txt")
    if grep -q "no card" "$demo/files/readers.txt" || [ -z "$cards" ]; then
        result="cardolo.so does not see a card in each reader"
        return 1
    fi
    result="CNS card in $cns_reader, token card in $token_reader; cardolo.so reads $cards"
}

step_manager() {
    need vantor-demo-manager tesmira || return 1
    start_display || return 1
    local first=$demo/tesmira-cns.png second=$demo/tesmira-token.png
    # The manager shows the first reader that holds a card: the CNS card, then, once that card
    # is taken out, the token card. The CNS card goes back in for the next step.
    "$bin/vantor-demo-manager" --timeout 30 "$cns_reader=$first" "$token_reader=$second" \
        >"$demo/files/manager.txt" &
    driver_pid=$!
    for _ in $(seq 400); do
        [ -s "$demo/files/manager.txt" ] && break
        kill -0 "$driver_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -s "$demo/files/manager.txt" ] && [ -s "$first" ]; then
        remove 0
    fi
    wait "$driver_pid"
    local status=$?
    driver_pid=
    insert cns 0 || {
        result="the CNS card did not come back into $cns_reader"
        return 1
    }
    cat "$demo/files/manager.txt"
    if [ $status != 0 ] || [ ! -s "$first" ] || [ ! -s "$second" ]; then
        result="tesmira did not identify both cards: $(tail -n 1 "$demo/files/manager.txt")"
        return 1
    fi
    local shown_first shown_second
    shown_first=$(sed -n 1p "$demo/files/manager.txt")
    shown_second=$(sed -n 2p "$demo/files/manager.txt")
    result="tesmira identifies both: \"$shown_first\", \"$shown_second\" ($(shown "$first"), $(shown "$second"))"
}

step_pin() {
    need vantor-demo-pin || return 1
    local line
    line=$("$bin/vantor-demo-pin" 1 12345678 24681357)
    local status=$?
    echo "$line"
    if [ $status != 0 ]; then
        result="Cardolo: $line"
        return 1
    fi
    result="Cardolo changed the CNS card's card-holder PIN: $line"
}

step_import() {
    need pavlox.so cardtoken.so vantorcom.py || return 1
    local f=$demo/files
    if ! openssl req -x509 -newkey rsa:2048 -nodes -keyout "$f/holder-key.pem" \
        -out "$f/holder-cert.pem" -days 30 -subj "/CN=$holder/O=Vantor Demo" \
        -addext "keyUsage=critical,digitalSignature,keyEncipherment" \
        -addext "extendedKeyUsage=1.3.6.1.4.1.311.20.2.2,clientAuth" ||
        ! openssl pkcs12 -export -inkey "$f/holder-key.pem" -in "$f/holder-cert.pem" \
            -name "$holder" -passout pass:demo -out "$f/holder.p12"; then
        result="OpenSSL could not make the PKCS#12 file"
        return 1
    fi
    local line
    line=$(PYTHONPATH=$bin foreign /usr/bin/python3 "$here/import_p12.py" "$bin/cardtoken.so" \
        "$token_slot" "$token_pin" "$f/holder.p12" demo "$key_id" "$holder")
    local status=$?
    echo "$line"
    if [ $status != 0 ]; then
        result="Pavlox could not import $(shown "$f/holder.p12") (see the log)"
        return 1
    fi
    # From outside: the certificate is on the token under its label.
    if ! foreign pkcs11-tool --module "$bin/cardtoken.so" --slot "$token_slot" --list-objects \
        --type cert | tee "$f/token-certs.txt" | grep -q "label: *$holder\$"; then
        result="pkcs11-tool does not find the certificate \"$holder\" on the token"
        return 1
    fi
    result="Pavlox imported $(basename "$f/holder.p12") (smart-card logon usage): $line"
}

step_store() {
    need csptool certstore tvxcsp32.so || return 1
    if [ ! -e "$bin/rundll" ]; then
        result="$(shown "$bin")/rundll is not built: the runner of tvxcsp32.so's Card2WinStore is missing"
        return 1
    fi
    "$bin/csptool" register "$provider" "$bin/tvxcsp32.so" --pkcs11-lib "$bin/cardtoken.so" || {
        result="csptool could not register $provider"
        return 1
    }
    "$bin/rundll" tvxcsp32.so,Card2WinStore -q -p "$token_pin" -s "$token_reader" || {
        result="rundll tvxcsp32.so,Card2WinStore failed"
        return 1
    }
    "$bin/certstore" list MY | tee "$demo/files/store-my.txt"
    # The block of the holder's certificate: its container and provider lines.
    local container prov count
    container=$(awk -v who="$holder" '/^\[[0-9]+\]/ { inside = index($0, who) > 0 }
        inside && $1 == "container" { print $2; exit }' "$demo/files/store-my.txt")
    prov=$(awk -v who="$holder" '/^\[[0-9]+\]/ { inside = index($0, who) > 0 }
        inside && $1 == "provider" { $1 = ""; sub(/^ +/, ""); print; exit }' "$demo/files/store-my.txt")
    count=$(sed -n 's/^\([0-9]*\) certificate(s) in MY.*/\1/p' "$demo/files/store-my.txt")
    if [ -z "$container" ] || [ "$container" = none ] || [ "$prov" != "$provider" ]; then
        result="certstore list MY shows no certificate of \"$holder\" bound to $provider"
        return 1
    fi
    echo "$container" >"$demo/files/container"
    result="Card2WinStore copied the token's certificates into the user's stores: MY holds ${count:-?}, \"$holder\" in container $container of $prov"
}

step_sign() {
    need csptool || return 1
    local f=$demo/files container
    container=$(cat "$f/container" 2>/dev/null)
    if [ -z "$container" ]; then
        result="no container from the store (step 5)"
        return 1
    fi
    printf 'The Vantor demo document, signed with the token key.\n' >"$f/document.txt"
    # The reader prefix picks the token's slot by its description.
    "$bin/csptool" sign "\\\\.\\$token_reader\\$container" "$f/document.txt" -p "$provider" \
        --pin "$token_pin" --hash sha256 -o "$f/document.sig" || {
        result="csptool could not sign through $provider with $container"
        return 1
    }
    openssl x509 -in "$f/holder-cert.pem" -pubkey -noout >"$f/holder-pub.pem" || return 1
    local verdict
    verdict=$(openssl dgst -sha256 -verify "$f/holder-pub.pem" -signature "$f/document.sig" \
        "$f/document.txt" 2>&1)
    echo "$verdict"
    if [ "$verdict" != "Verified OK" ]; then
        result="OpenSSL does not verify the signature: $verdict"
        return 1
    fi
    result="csptool signed document.txt through $provider with container $container; OpenSSL: $verdict"
}

step_logon() {
    need vantorsetup || return 1
    if [ ! -e "$bin/vantorsetup-drive" ]; then
        result="$(shown "$bin")/vantorsetup-drive is not built: the driver of the setup dialog is missing"
        return 1
    fi
    local f=$demo/files container label message
    container=$(cat "$f/container" 2>/dev/null)
    label=${container%@*}
    message=$("$bin/vantorsetup-drive" --choose-subject "$holder" --pin "$token_pin" \
        --timeout 60 --screenshots "$demo")
    local status=$?
    echo "$message"
    if [ $status != 0 ]; then
        result="vantorsetup: ${message:-no message}"
        return 1
    fi
    # The marker is public: read without a login.
    foreign pkcs11-tool --module "$bin/cardtoken.so" --slot "$token_slot" --read-object --type data \
        --label CSPSmartLogon --output-file "$f/marker.bin" || {
        result="pkcs11-tool finds no CSPSmartLogon marker on the token"
        return 1
    }
    local marker
    marker=$(tr -d '\0' <"$f/marker.bin")
    if [ "$marker" != "$label" ]; then
        result="the token's CSPSmartLogon marker names \"$marker\", not \"$label\""
        return 1
    fi
    result="vantorsetup selected \"$holder\" for smart logon ($message); the token's CSPSmartLogon marker names $marker"
}

on_bench() {
    trap on_exit EXIT
    trap 'exit 130' INT TERM
    run_step "cards" step_cards
    run_step "tesmira" step_manager
    run_step "Cardolo PIN change" step_pin
    run_step "Pavlox PKCS#12 import" step_import
    run_step "Card2WinStore" step_store
    run_step "csptool signature" step_sign
    run_step "vantorsetup smart logon" step_logon
}

# ---------------------------------------------------------------- the bench around the steps

if [ "${1:-}" = --on-bench ]; then
    on_bench
    exit 0
fi

start=$SECONDS
prepare_demo_dir --pictures
trap stop_bench EXIT
trap 'exit 130' INT TERM
if ! start_bench >"$demo/logs/bench.log" 2>&1; then
    echo "[FAILED] step 1: cards: the bench did not start (see $(shown "$demo")/logs/bench.log)"
    tail -n 15 "$demo/logs/bench.log" >&2
    exit 1
fi
# English texts in the windows and messages, whatever the caller's locale (set for the steps'
# programs only: this shell keeps its own).
# A story that ends without a verdict of its own (a crash of the shell, a signal) still gets one.
if ! "$bench_script" run env -u LC_ALL -u LC_MESSAGES LANG=en_US.UTF-8 "$0" --on-bench |
    tee "$demo/logs/story.txt"; then
    if ! grep -q '^\[FAILED\]' "$demo/logs/story.txt"; then
        echo "[FAILED] step $(($(grep -c '^\[ok\]' "$demo/logs/story.txt") + 1)): the story stopped without a result"
    fi
    exit 1
fi
pictures=
for picture in "$demo"/*.png; do
    [ -e "$picture" ] && pictures+=" $(basename "$picture")"
done
echo "demo: the whole story passed in $((SECONDS - start)) s; pictures in $(shown "$demo")/:$pictures"
