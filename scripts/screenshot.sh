#!/usr/bin/env bash
# Takes docs/main-window.png: the main window after a repair, under a private
# Xvfb with the Japanese font of the Wine prefix. The scene itself is a
# disabled GUI test (Screenshot.*) that repairs a file against blockmend-cli
# and holds the window still until the picture is taken.
# Usage: scripts/screenshot.sh [BUILD_DIR]   (default build/win, built already)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build/win}" && pwd)
run=$build/screenshot
out=$root/docs/main-window.png
mkdir -p "$run"
rm -f "$run/ready" "$run/taken"

export WINEPREFIX=$build/wineprefix WINEDEBUG=-all
bash "$root/scripts/wine-prefix.sh" "$WINEPREFIX"
bash "$root/scripts/xvfb.sh" start "$run"
scene=
cleanup() {
    [[ -n $scene ]] && kill "$scene" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    bash "$root/scripts/xvfb.sh" stop "$run" || true
}
trap cleanup EXIT
export DISPLAY=$(cat "$run/display")

# The scene's handshake folder, as the Windows side names it (Z: is /).
export BLOCKMEND_SCREENSHOT_DIR="Z:${run//\//\\}"
(cd "$build" && exec env LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 wine tests/gui_tests.exe \
    --gtest_also_run_disabled_tests --gtest_filter='Screenshot.*') &
scene=$!

for _ in $(seq 1 1200); do
    [[ -f $run/ready ]] && break
    kill -0 "$scene" 2>/dev/null || { echo "screenshot: the scene ended early" >&2; exit 1; }
    sleep 0.1
done
[[ -f $run/ready ]] || { echo "screenshot: the scene did not get ready" >&2; exit 1; }
read -r left top width height <"$run/ready"
sleep 1  # let the last repaint reach the screen
import -window root -crop "${width}x${height}+${left}+${top}" +repage "$out"
touch "$run/taken"
wait "$scene"
scene=
echo "screenshot: wrote $out (${width}x${height})"
