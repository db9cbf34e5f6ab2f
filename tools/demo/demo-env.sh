# shellcheck shell=bash
# The demo's surroundings, sourced by story.sh and interactive.sh (which set `root` first): the
# build, and the folder that keeps every bit of the demo's state away from the user's own.
build=$(cd "${VANTOR_BUILD_DIR:-$root/build/default}" && pwd)
bin=$build/bin
demo=${VANTOR_DEMO_DIR:-$root/build/demo}
mkdir -p "$demo"
demo=$(cd "$demo" && pwd)
# The bench (pcscd, cards, cardtoken.so's configuration and token folder), the registry with the
# certificate stores and key containers, and the provider's machine-wide lock.
export VANTOR_BUILD_DIR=$build CARDTOKEN_BENCH_DIR=$demo/bench
export VANTOR_REGISTRY_DIR=$demo/registry VANTOR_RUNTIME_DIR=$demo/run

bench_script=$root/tools/cardtoken/cardtoken-bench.sh

# A path as the README writes it: relative to the checkout when inside it.
shown() {
    case "$1" in
        "$root"/*) echo "${1#"$root"/}" ;;
        *) echo "$1" ;;
    esac
}

# A fresh state: the earlier run's registry, stores, files and logs go; the pictures too when
# the caller takes new ones (--pictures).
prepare_demo_dir() {
    rm -rf "$demo/registry" "$demo/run" "$demo/files" "$demo/logs"
    if [ "${1:-}" = --pictures ]; then
        rm -f "$demo"/*.png
    fi
    mkdir -p "$demo/registry" "$demo/run" "$demo/files" "$demo/logs"
}

# pcscd with the two virtual readers, in a mount namespace of its own, and cardtoken.so's
# configuration with fresh keys; the cards come later.
start_bench() {
    if [ "$(id -u)" != 0 ]; then
        echo "the demo bench needs root (a private mount namespace for its pcscd)"
        return 1
    fi
    "$bench_script" start
}

stop_bench() {
    "$bench_script" stop >/dev/null 2>&1 || true
}

# The manager's ATR table names the two demo cards (registry type 1: the file system decides
# the type) with the bench module; pavlox.so is registered as an installation would.
seed_registry() {
    "$bin/tesmira_seed" --register "$bin/pavlox.so" \
        --atr 3B8801564E5452434E5330F9 1 "$bin/cardtoken.so" \
        --atr 3B8801564E5452544B4638F6 1 "$bin/cardtoken.so"
}
