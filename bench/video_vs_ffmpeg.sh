#!/usr/bin/env bash
# CPU seconds per delivered frame of `lumatap video display ID 1280 720 30 1` against ffmpeg's
# x11grab scaling to the same NV12 stream, one after the other on the same private Xvfb that
# shows a full-screen animation, each into a reader that only counts bytes. Goal: lumatap at
# most half of ffmpeg's figure.
#   bench/video_vs_ffmpeg.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-10}
lumatap=$build/bin/lumatap
xclient=$build/tests/xclient/lumatap_test_xclient
frame=$((1280 * 720 * 3 / 2))

source bench/display.sh
trap stop_display EXIT
start_display
ask "animate $(ask window 0 0 1920 1080 ff0000) 33" >/dev/null
id=$(first_display)

# Runs the command for $seconds into `wc -c`; prints "cpu_seconds frames server_cpu_seconds".
measure() {
    local dir
    dir=$(mktemp -d)
    mkfifo "$dir/pipe"
    wc -c <"$dir/pipe" >"$dir/count" &
    local reader=$!
    "$@" >"$dir/pipe" 2>/dev/null &
    local pid=$!
    local server
    server=$(awk '{print $14 + $15}' "/proc/$xvfb/stat")
    sleep "$seconds"
    local ticks
    ticks=$(awk '{print $14 + $15}' "/proc/$pid/stat")
    server=$(($(awk '{print $14 + $15}' "/proc/$xvfb/stat") - server))
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    wait "$reader"
    local hz
    hz=$(getconf CLK_TCK)
    echo "$(awk -v t="$ticks" -v hz="$hz" 'BEGIN {printf "%.2f", t / hz}') $(($(cat "$dir/count") / frame)) $(awk -v t="$server" -v hz="$hz" 'BEGIN {printf "%.2f", t / hz}')"
    rm -rf "$dir"
}

read -r lcpu lframes lserver < <(measure "$lumatap" video display "$id" 1280 720 30 1)
read -r fcpu fframes fserver < <(measure ffmpeg -loglevel error -f x11grab -framerate 30 -video_size 1920x1080 \
    -i "$DISPLAY" -vf scale=1280:720:flags=bilinear:out_color_matrix=bt709:out_range=tv \
    -pix_fmt nv12 -f rawvideo -)
awk -v lc="$lcpu" -v lf="$lframes" -v ls="$lserver" -v fc="$fcpu" -v ff="$fframes" \
    -v fs="$fserver" 'BEGIN {
    lp = lf ? lc / lf * 1000 : 0; fp = ff ? fc / ff * 1000 : 0
    printf "lumatap: %.2f s CPU, %d frames, %.2f ms a frame (X server meanwhile: %.2f ms a frame)\n", lc, lf, lp, lf ? ls / lf * 1000 : 0
    printf "ffmpeg:  %.2f s CPU, %d frames, %.2f ms a frame (X server meanwhile: %.2f ms a frame)\n", fc, ff, fp, ff ? fs / ff * 1000 : 0
    if (fp > 0) printf "ratio:   %.2f (goal: at most 0.50)\n", lp / fp
}'
