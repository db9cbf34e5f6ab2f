#!/usr/bin/env bash
# Makes docs/crvk2plg-*.png: the three PIN dialogs in English and Italian on a private Xvfb
# display, framed by twm when it is installed (packages xvfb, twm, xfonts-base). Usage: crvk2plg/tools/screenshots.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/default}
tool=$build/bin/crvk2plg_shots
[ -x "$tool" ] || { echo "build the crvk2plg_shots target first ($tool)"; exit 1; }
command -v Xvfb >/dev/null || { echo "Xvfb (package xvfb) is needed"; exit 1; }
display=:$((90 + RANDOM % 9))
Xvfb "$display" -screen 0 1024x768x24 -br -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
wm=
rc=
cleanup() {
    [ -n "$wm" ] && kill "$wm" 2>/dev/null || true
    [ -n "$rc" ] && rm -f "$rc"
    kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
sleep 1
if command -v twm >/dev/null; then
    # Windows are placed where the program asks, without twm's interactive placement.
    rc=$(mktemp)
    # twm gives up without its default fonts; "fixed" comes with xfonts-base.
    printf 'RandomPlacement\nUsePPosition "on"\nNoGrabServer\nBorderWidth 1\nDecorateTransients\n' >"$rc"
    for f in TitleFont ResizeFont MenuFont IconFont IconManagerFont; do
        printf '%s "fixed"\n' "$f" >>"$rc"
    done
    DISPLAY=$display twm -f "$rc" >/dev/null 2>&1 &
    wm=$!
    sleep 1
fi
mkdir -p "$root/docs"
for lang in en_US it_IT; do
    env -u LC_ALL -u LC_MESSAGES -u QT_QPA_PLATFORM DISPLAY=$display LANG=$lang.UTF-8 \
        "$tool" "$root/docs" "${lang%%_*}" | sed "s|$root/||"
done
