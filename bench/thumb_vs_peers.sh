#!/usr/bin/env bash
# Wall time of one whole `lumatap thumb display ID 400 300` process, side by side with
# ffmpeg's x11grab scaled to a PNG and with `xwd -root`, on the same private 1920x1080 Xvfb
# with some windows on it. The runs are interleaved, so that the load of the machine falls on
# all three alike, and the medians are printed.
#
#   bench/thumb_vs_peers.sh [BUILD_DIR] [RUNS]      (defaults: build, 15)
#
# Goals: lumatap takes at most a quarter of ffmpeg's time and less than xwd's.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-15}
lumatap=$build/bin/lumatap
xclient=$build/tests/xclient/lumatap_test_xclient
for tool in Xvfb ffmpeg xwd python3 "$lumatap" "$xclient"; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done

source bench/display.sh
work=$(mktemp -d)
cleanup() {
    stop_display
    rm -rf "$work"
}
trap cleanup EXIT
start_display

# Windows of flat colour and of noise, some overlapping, as on a busy desktop.
ask window 40 60 900 600 3a6ea5 title=Files >/dev/null
ask window 700 200 800 500 808080 pattern=1 title=Photo >/dev/null
ask window 1200 500 600 450 f0f0f0 title=Editor >/dev/null
ask window 300 700 500 300 2e7d32 depth=32 title=Chart >/dev/null
display=$(first_display)

now() { date +%s%N; }
declare -A times
measure() {
    local name=$1
    shift
    local start end
    start=$(now)
    "$@" >/dev/null 2>"$work/err" || { echo "$name failed:" >&2; cat "$work/err" >&2; exit 1; }
    end=$(now)
    times[$name]+="$(((end - start) / 1000)) "
}

for _ in $(seq "$runs"); do
    measure lumatap "$lumatap" thumb display "$display" 400 300
    measure ffmpeg ffmpeg -nostdin -loglevel error -f x11grab -video_size 1920x1080 -i "$DISPLAY" \
        -frames:v 1 -vf scale=400:225 -f image2pipe -vcodec png -
    measure xwd xwd -root -silent
done

median() { tr ' ' '\n' | grep . | sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
lumatapMedian=$(echo "${times[lumatap]}" | median)
ffmpegMedian=$(echo "${times[ffmpeg]}" | median)
xwdMedian=$(echo "${times[xwd]}" | median)

awk -v runs="$runs" -v l="$lumatapMedian" -v f="$ffmpegMedian" -v x="$xwdMedian" 'BEGIN {
    printf "median wall time of one process, %d runs each, 1920x1080 display\n", runs
    printf "  %-36s %8.1f ms\n", "lumatap thumb display ID 400 300", l / 1000
    printf "  %-36s %8.1f ms\n", "ffmpeg x11grab, scale=400:225, png", f / 1000
    printf "  %-36s %8.1f ms\n", "xwd -root", x / 1000
    printf "  lumatap / ffmpeg = %.3f (goal <= 0.25), lumatap / xwd = %.3f (goal < 1)\n", l / f, l / x
}'
