#!/usr/bin/env bash
# Runs the commands README.md shows, as it shows them, against one build tree: the demo (whose
# output must be the one the README prints, run time aside), its bench for a person (on a
# private X server) and its other scenarios, the bench commands, the card-bench one-liners, the
# message lister, registration and the scripting examples. Each
# command is looked up in the README first, so the README and this check cannot drift apart
# quietly. The build is taken as it is (VANTOR_SKIP_BUILD=1); build/default in a command stands
# for the build tree under test.
#   readme_commands.sh SOURCE_DIR BUILD_DIR [ASAN_RUNTIME]
# ASAN_RUNTIME (sanitizer builds): preloaded into the Python interpreter and the other outside
# programs (pkcs11-tool in the demo) that load our modules.
# Exit 77 (a CTest skip) without root: the card bench needs a private mount namespace.
set -uo pipefail
root=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
asan_runtime=${3:-}
readme=$root/README.md
cd "$root"

if [ "$(id -u)" != 0 ]; then
    echo "readme commands: skipped: the card bench needs root (a private mount namespace)"
    exit 77
fi

work=$(mktemp -d /tmp/vantor-readme.XXXXXX)
trap 'rm -rf "$work"' EXIT
# Outside CTest's card bench: every run-with-card.sh makes a namespace and pcscd of its own.
unset VANTOR_BENCH_NS VANTOR_BENCH_RUNDIR VANTOR_BENCH_STATE VANTOR_BENCH_CARD_LOG
# The demo keeps its state, and leaves its pictures, in build/demo as the README says.
unset VANTOR_DEMO_DIR CARDTOKEN_BENCH_DIR
export VANTOR_SKIP_BUILD=1 VANTOR_BUILD_DIR=$build VANTOR_REGISTRY_DIR=$work/registry
# The demo preloads the sanitizer runtime into the outside programs that load our modules.
export VANTOR_ASAN_RUNTIME=$asan_runtime
python_env=(PYTHONPATH="$build/bin")
if [ -n "$asan_runtime" ]; then
    python_env+=(LD_PRELOAD="$asan_runtime" ASAN_OPTIONS=detect_leaks=0)
fi

failures=0
fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}

# The README must still show the text; true when it does.
shown() {
    if ! grep -qF -- "$1" "$readme"; then
        fail "README.md no longer shows: $1 (update tests/readme/readme_commands.sh)"
        return 1
    fi
}

# Runs a README command line (build/default standing for the build under test) in bash; its
# output goes to $work/out. True when it exits 0.
run() {
    local line
    line=$(sed -E "s#(^|[ =])build/default#\\1$build#g" <<<"$1")
    echo "\$ $line"
    bash -c "$line" >"$work/out" 2>"$work/err"
    local status=$?
    head -n 20 "$work/out"
    if [ $status != 0 ]; then
        cat "$work/err" >&2
        fail "exit status $status: $line"
        return 1
    fi
}

# The demo's run time, the one part of its output that changes from run to run, as "N".
without_time() {
    sed -E 's/ passed in [0-9]+ s;/ passed in N s;/'
}

# The text of the code block that follows the first README line containing $1.
block_after() {
    awk -v anchor="$1" '
        index($0, anchor) { found = 1; next }
        found && /^```/ { if (inside) exit; inside = 1; next }
        inside { print }' "$readme"
}

built() {
    if [ ! -x "$build/bin/$1" ] && [ ! -e "$build/bin/$1" ]; then
        echo "-- $1 is not built in this tree: its commands are not checked here"
        return 1
    fi
}

# The demo tells the whole story exactly as the README prints it (its run time aside) and leaves
# the manager's pictures.
if shown "./scripts/demo.sh     # the main job on the built-in demo bench" &&
    run "./scripts/demo.sh"; then
    expected=$(block_after "one line per step:")
    if [ -z "$expected" ] || [ "$(without_time <"$work/out")" != "$(without_time <<<"$expected")" ]; then
        fail "demo output differs from the README's:"$'\n'"$expected"
    fi
    for picture in tesmira-cns.png tesmira-token.png vantorsetup-main.png vantorsetup-certificates.png; do
        [ "$(head -c 8 "$root/build/demo/$picture" 2>/dev/null | xxd -p)" = 89504e470d0a1a0a ] ||
            fail "the demo left no picture build/demo/$picture"
    done
fi
# A failing step as the README describes it: named, exit status 1, and the bench stopped. A
# build tree without rundll (the other programs linked in) stops the story at the certificate
# import.
# shellcheck disable=SC2016 # the README's text, backquotes and all
if shown '`[FAILED] step N: ...`'; then
    mkdir -p "$work/partial/bin"
    for f in "$build"/bin/*; do
        [ "$(basename "$f")" = rundll ] || ln -s "$f" "$work/partial/bin/"
    done
    echo "\$ ./scripts/demo.sh   # with a build tree that lacks rundll"
    VANTOR_BUILD_DIR=$work/partial ./scripts/demo.sh >"$work/out" 2>"$work/err"
    status=$?
    cat "$work/out"
    [ $status = 1 ] || fail "a failing demo step gave exit status $status"
    grep -q '^\[FAILED\] step 5: Card2WinStore: .*/rundll is not built' "$work/out" ||
        fail "the demo did not name its failing step"
    [ "$(grep -c '^\[ok\]' "$work/out")" = 4 ] || fail "the demo did not stop at its failing step"
    for left in state card0.pid card1.pid; do
        [ ! -e "$root/build/demo/bench/$left" ] || fail "a failed demo left its bench running ($left)"
    done
fi
for scenario in fs-type5 serial-2f02 cns-t0-getresponse; do
    shown "\`$scenario\`" && run "./scripts/demo.sh $scenario" &&
        { grep -q "ATR" "$work/out" || fail "no ATR from the $scenario card"; }
done

# The bench for a person: a private X server stands for the person's display, the card commands
# run while the manager is open, and the end of the display ends the manager and the bench.
interactive="./scripts/demo.sh --interactive"
remove="./scripts/demo.sh --remove 0"
insert="./scripts/demo.sh --insert cns 0"
if shown "$interactive" && shown "$remove" && shown "$insert"; then
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 100); do
        [ -s "$work/display" ] && break
        sleep 0.1
    done
    DISPLAY=:$(cat "$work/display") bash -c "$interactive" >"$work/interactive" 2>&1 &
    person=$!
    for _ in $(seq 600); do
        grep -qs "the bench is up" "$work/interactive" && break
        kill -0 $person 2>/dev/null || break
        sleep 0.1
    done
    if grep -q "the bench is up" "$work/interactive"; then
        echo "\$ $interactive (on a private X server)"
        run "$remove" && { grep -q "Virtual PCD 00 00 is empty" "$work/out" || fail "$remove: the reader is not empty"; }
        run "$insert" && { grep -q "cns in Virtual PCD 00 00" "$work/out" || fail "$insert: no card"; }
    else
        fail "$interactive did not bring the bench up:"$'\n'"$(tail -n 5 "$work/interactive")"
    fi
    kill $xvfb
    wait $xvfb
    for _ in $(seq 300); do
        kill -0 $person 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 $person 2>/dev/null; then
        fail "the manager of $interactive outlived its display"
        kill $person
    fi
    wait $person
    [ ! -e "$root/build/demo/bench/state" ] || fail "the bench of $interactive outlived the manager"
fi

# The card bench by hand.
line="tools/bench/run-with-card.sh cns opensc-tool -r 0 -s 00A4000C023F00"
shown "$line" && run "$line"
echo "test \"\$VANTOR_BENCH_NS\" = 1" >"$work/in-bench"
shown "tools/bench/in-bench.sh bash " && run "tools/bench/in-bench.sh bash <$work/in-bench"

# Benchmarks: the card path with a small round count, the late-bound call.
line="tools/bench/run-with-card.sh cns build/default/bin/cardolo_bench"
if built cardolo_bench && shown "$line" && run "$line 5"; then
    grep -q "secure messaging CPU per protected VERIFY" "$work/out" ||
        fail "cardolo_bench printed no secure-messaging cost"
fi
line="build/default/bin/pavlox_invoke_bench"
built pavlox_invoke_bench && shown "$line" && run "$line"

# Messages.
for line in "build/default/bin/msglist --list-messages it" \
    "build/default/bin/msglist --languages"; do
    built msglist && shown "$line" && run "$line"
done

# Registration and the scripting examples (a private registry: VANTOR_REGISTRY_DIR).
if built pavlox.so && built regsvr; then
    line="build/default/bin/regsvr build/default/bin/pavlox.so"
    shown "$line" && run "$line"
    block_after "(Python over a compiled core" >"$work/script.py"
    if shown "run as \`PYTHONPATH=build/default/bin /usr/bin/python3 script.py\`" &&
        [ -s "$work/script.py" ]; then
        run "cd '$work' && env ${python_env[*]} /usr/bin/python3 script.py"
    fi

    if [ -n "$asan_runtime" ]; then
        # The script runs our sanitizer-built programs and the interpreter under one
        # environment, and the runtime preloaded for the one breaks the other.
        echo "-- token-demo.sh is checked in builds without the sanitizer runtime"
    elif shown "./scripts/token-demo.sh" && run "./scripts/token-demo.sh"; then
        grep -q "token label *: Demo Token" "$work/out" ||
            fail "pkcs11-tool does not see the label the token demo set"
    fi

    # The session demo on a token of its own (it changes the user PIN), then the README's
    # OpenSSL check of the signature.
    demo="PYTHONPATH=build/default/bin /usr/bin/python3 pavlox/examples/session_demo.py \\"
    args="/usr/lib/softhsm/libsofthsm2.so SLOT 1234 n3w-PIN Vantor demo.sig"
    digest='{ printf 3031300d060960864801650304020105000420 | xxd -r -p; printf Vantor | openssl dgst -sha256 -binary; } > di.bin'
    verify="openssl pkeyutl -verify -pubin -keyform DER -inkey pubkey.der -in di.bin -sigfile demo.sig"
    if shown "$demo" && shown "$args" && shown "$digest" && shown "$verify" &&
        tests/token_bench/token-bench-setup.sh "$work/token" >/dev/null; then
        slot=$(sed -n 's/^token_slot=//p' "$work/token/state")
        cp "$(sed -n 's/^pubkey_der=//p' "$work/token/state")" "$work/pubkey.der"
        export SOFTHSM2_CONF=$work/token/softhsm2.conf
        script="$root/pavlox/examples/session_demo.py"
        run "cd '$work' && env ${python_env[*]} /usr/bin/python3 '$script' ${args/SLOT/$slot}" &&
            run "cd '$work' && $digest" && run "cd '$work' && $verify"
    fi

    # The import demo on a token of its own, then the README's check with the file's certificate.
    key="openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -subj /CN=Demo -days 30"
    p12="openssl pkcs12 -export -inkey key.pem -in cert.pem -passout pass:pw -out demo.p12"
    demo="PYTHONPATH=build/default/bin /usr/bin/python3 pavlox/examples/import_demo.py \\"
    args='/usr/lib/softhsm/libsofthsm2.so SLOT 1234 demo.p12 pw 01AB "Demo Key" Vantor import.sig'
    verify="openssl pkeyutl -verify -certin -inkey cert.pem -in di.bin -sigfile import.sig"
    if shown "$key" && shown "$p12" && shown "$demo" && shown "$args" && shown "$verify" &&
        tests/token_bench/token-bench-setup.sh "$work/token2" >/dev/null; then
        slot=$(sed -n 's/^token_slot=//p' "$work/token2/state")
        export SOFTHSM2_CONF=$work/token2/softhsm2.conf
        script="$root/pavlox/examples/import_demo.py"
        run "cd '$work' && $key" && run "cd '$work' && $p12" &&
            run "cd '$work' && env ${python_env[*]} /usr/bin/python3 '$script' ${args/SLOT/$slot}" &&
            run "cd '$work' && $digest" && run "cd '$work' && $verify"
    fi
fi

if [ $failures != 0 ]; then
    echo "readme commands: $failures failed" >&2
    exit 1
fi
echo "readme commands: all passed"
