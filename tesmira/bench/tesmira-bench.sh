#!/usr/bin/env bash
# The card manager on a bench of its own (private pcscd with the virtual readers, cardsim cards,
# cardtoken.so over SoftHSM2, a private registry with the automation server registered and an
# ATR table naming the bench cards).
#
#   tesmira-bench.sh bench [SECONDS]     idle CPU of the tesmira program over SECONDS (60) with
#                                        no card and with a card, then tesmira_bench (polling vs
#                                        suspended, insertion to identified, APDUs)
#   tesmira-bench.sh screenshots DIR     PNGs of the no-card and identified window and of the
#                                        PIN entry dialogs under Xvfb, English and Italian
#   tesmira-bench.sh dialogs DIR         the PIN entry dialogs' PNGs only
#   tesmira-bench.sh contents DIR        the certificate list, card information and import
#                                        dialog PNGs (CNS token), English and Italian
#   tesmira-bench.sh run CMD [ARGS...]   CMD with the bench's environment (a card can be put in
#                                        with: cardsim --port $TESMIRA_BENCH_PORT ...)
#
# Needs root (a private mount namespace) and the build: cmake --build --preset default --target
# tesmira tesmira_seed tesmira_bench tesmira_dialog_shot tesmira_contents_shot cardolo pavlox cardtoken cardsim bench_probe
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${VANTOR_BUILD_DIR:-$root/build/default}
bin=$build/bin
work=$build/tesmira-bench

if [ "${VANTOR_BENCH_NS:-}" != 1 ]; then
    exec "$root/tools/bench/in-bench.sh" "$0" "$@"
fi

die() {
    echo "tesmira-bench: $*" >&2
    exit 1
}

cardsim_pid=
cleanup() {
    [ -n "$cardsim_pid" ] && kill "$cardsim_pid" 2>/dev/null || true
    "$root/tools/bench/pcscd-stop.sh" "$work/pcscd" >/dev/null 2>&1 || true
}

setup() {
    for f in tesmira tesmira_seed tesmira_bench cardolo.so pavlox.so cardtoken.so cardsim bench_probe; do
        [ -e "$bin/$f" ] || die "missing $bin/$f (build it first)"
    done
    rm -rf "$work"
    mkdir -p "$work"
    trap cleanup EXIT
    "$root/tools/bench/pcscd-start.sh" "$work/pcscd" "$bin/bench_probe" >/dev/null
    # shellcheck disable=SC1091
    . "$work/pcscd/state"
    export TESMIRA_BENCH_PORT=$port
    export VANTOR_BENCH_STATE=$work/pcscd/state
    export VANTOR_REGISTRY_DIR=$work/registry
    mkdir -p "$VANTOR_REGISTRY_DIR"
    bash "$root/tools/cardtoken/cardtoken-bench.sh" make-conf "$work/conf" >/dev/null
    export CARDTOKEN_CONF=$work/conf/cardtoken.conf
    # Registry type 1 for each bench card's ATR: the card type then follows its file system.
    local p11=$bin/cardtoken.so
    "$bin/tesmira_seed" --register "$bin/pavlox.so" \
        --atr 3B8801564E5452544B4332F9 1 "$p11" \
        --atr 3B8801564E5452544B4D34F1 1 "$p11" \
        --atr 3B8801564E5452544B4638F6 1 "$p11"
}

insert() {  # scenario
    "$bin/cardsim" --port "$port" --scenario "$root/tools/cardsim/scenarios/$1.card" \
        --log "$work/$1.log" >/dev/null 2>&1 &
    cardsim_pid=$!
    "$bin/bench_probe" wait-card "Virtual PCD 00 00" present 10000 >/dev/null
}

remove() {
    kill "$cardsim_pid"
    wait "$cardsim_pid" 2>/dev/null || true
    cardsim_pid=
    "$bin/bench_probe" wait-card "Virtual PCD 00 00" absent 10000 >/dev/null
}

cpu_ticks() {  # pid: user + system clock ticks
    awk '{ print $14 + $15 }' "/proc/$1/stat"
}

program_cpu() {  # label seconds
    QT_QPA_PLATFORM=offscreen "$bin/tesmira" >/dev/null 2>&1 &
    local pid=$!
    sleep 5  # start-up, library loads and the first identification are not idle time
    local t0 s0 t1 s1
    t0=$(cpu_ticks $pid)
    s0=$(date +%s.%N)
    sleep "$2"
    t1=$(cpu_ticks $pid)
    s1=$(date +%s.%N)
    kill $pid
    wait $pid 2>/dev/null || true
    awk -v t="$((t1 - t0))" -v hz="$(getconf CLK_TCK)" -v s0="$s0" -v s1="$s1" -v what="$1" \
        'BEGIN { p = 100 * t / hz / (s1 - s0);
                 printf "tesmira program, %s: %.3f %% of one core over %.1f s (target < 0.5 %%: %.2f of it)\n",
                        what, p, s1 - s0, p / 0.5 }'
}

shot() {  # LANG output
    local out=$2
    xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
        "$1" >/dev/null 2>&1 &
        pid=$!
        sleep 6
        import -window root "$2.raw.png"
        kill $pid; wait $pid 2>/dev/null || true' shot "$bin/tesmira" "$out"
    # The screen around the window is black: trimmed away.
    convert "$out.raw.png" -trim +repage "$out"
    rm -f "$out.raw.png"
    echo "tesmira-bench: $out"
}

dialog_shot() {  # kind mode output (LANG from the caller)
    framed_shot "$3" "$bin/tesmira_dialog_shot" "$1" "$2"
}

contents_shot() {  # what output (LANG from the caller)
    framed_shot "$2" "$bin/tesmira_contents_shot" "$1"
}

framed_shot() {  # output program args...
    local out=$1
    shift
    # Framed by twm (when installed), so the caption shows; windows go where the program puts
    # them, without twm's interactive placement.
    local rc=$work/twmrc
    mkdir -p "$work"
    printf 'RandomPlacement\nUsePPosition "on"\nNoGrabServer\nBorderWidth 1\nDecorateTransients\n' >"$rc"
    for f in TitleFont ResizeFont MenuFont IconFont IconManagerFont; do
        printf '%s "fixed"\n' "$f" >>"$rc"
    done
    xvfb-run -a -s "-screen 0 800x600x24" bash -c '
        wm=
        if command -v twm >/dev/null; then
            twm -f "$2" >/dev/null 2>&1 &
            wm=$!
            sleep 1
        fi
        out=$1 rc=$2
        shift 2
        "$@" >/dev/null 2>&1 &
        pid=$!
        sleep 4
        import -window root "$out.raw.png"
        kill $pid; wait $pid 2>/dev/null || true
        [ -n "$wm" ] && kill $wm' shot "$out" "$rc" "$@"
    convert "$out.raw.png" -trim +repage "$out"
    rm -f "$out.raw.png"
    echo "tesmira-bench: $out"
}

verb=${1:-}
shift || true
case "$verb" in
    bench)
        seconds=${1:-60}
        setup
        program_cpu "no card" "$seconds"
        insert token-cns
        program_cpu "CNS card present" "$seconds"
        remove
        QT_QPA_PLATFORM=offscreen "$bin/tesmira_bench" --seconds "$seconds"
        ;;
    screenshots)
        [ $# -eq 1 ] || die "usage: screenshots DIR"
        mkdir -p "$1"
        outdir=$(cd "$1" && pwd)
        setup
        for lang in en_US.UTF-8:en it_IT.UTF-8:it; do
            LANG=${lang%%:*} shot "${lang%%:*}" "$outdir/tesmira-nocard-${lang##*:}.png"
        done
        insert token-cns
        for lang in en_US.UTF-8:en it_IT.UTF-8:it; do
            LANG=${lang%%:*} shot "${lang%%:*}" "$outdir/tesmira-card-${lang##*:}.png"
        done
        remove
        for lang in en_US.UTF-8:en it_IT.UTF-8:it; do
            for shot in 2:pin 1:puk 1:unblock; do
                LANG=${lang%%:*} dialog_shot "${shot%%:*}" "${shot##*:}" \
                    "$outdir/tesmira-dialog${shot%%:*}-${shot##*:}-${lang##*:}.png"
            done
        done
        ;;
    contents)
        [ $# -eq 1 ] || die "usage: contents DIR"
        outdir=$(cd "$1" && pwd)
        setup
        insert token-cns
        for lang in en_US.UTF-8:en it_IT.UTF-8:it; do
            for what in list info import; do
                LANG=${lang%%:*} contents_shot "$what" "$outdir/tesmira-contents-$what-${lang##*:}.png"
            done
        done
        ;;
    dialogs)
        [ $# -eq 1 ] || die "usage: dialogs DIR"
        mkdir -p "$1"
        outdir=$(cd "$1" && pwd)
        for lang in en_US.UTF-8:en it_IT.UTF-8:it; do
            for shot in 2:pin 1:puk 1:unblock; do
                LANG=${lang%%:*} dialog_shot "${shot%%:*}" "${shot##*:}" \
                    "$outdir/tesmira-dialog${shot%%:*}-${shot##*:}-${lang##*:}.png"
            done
        done
        ;;
    run)
        setup
        "$@"
        ;;
    *)
        sed -n '2,16s/^# \{0,1\}//p' "$0" >&2
        exit 2
        ;;
esac
