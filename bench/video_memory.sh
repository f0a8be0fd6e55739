#!/usr/bin/env bash
# Resident memory of `lumatap video display ID 1280 720 30 1` on a private Xvfb with a
# full-screen animation while its reader stops reading for 10 s: it must stay flat, since at
# most three packed frames and the queue-depth pixel buffers ever exist.
#   bench/video_memory.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
lumatap=$build/bin/lumatap
xclient=$build/tests/xclient/lumatap_test_xclient

source bench/display.sh
dir=$(mktemp -d)
cleanup() {
    kill "${stream:-}" "${reader:-}" 2>/dev/null || true
    stop_display
    rm -rf "$dir"
}
trap cleanup EXIT
start_display
ask "animate $(ask window 0 0 1920 1080 ff0000) 33" >/dev/null
id=$(first_display)

mkfifo "$dir/pipe"
# Reads for 3 s, stops reading for 10 s with the pipe still open, then reads for 3 s again.
python3 -c '
import sys, time
f = open(sys.argv[1], "rb", buffering=0)
def drain(seconds):
    end = time.time() + seconds
    while time.time() < end:
        f.read(1 << 20)
drain(3); time.sleep(10); drain(3)
' "$dir/pipe" &
reader=$!
"$lumatap" video display "$id" 1280 720 30 1 >"$dir/pipe" 2>/dev/null &
stream=$!
for second in $(seq 1 16); do
    sleep 1
    phase=reading
    [ "$second" -gt 3 ] && [ "$second" -le 13 ] && phase=stalled
    echo "$second s ($phase): $(awk '/VmRSS/ {print $2, $3}' "/proc/$stream/status")"
done
