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

n=90
while [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ]; do n=$((n + 1)); done
export DISPLAY=:$n
Xvfb "$DISPLAY" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
dir=$(mktemp -d)
cleanup() {
    kill "${stream:-}" "${reader:-}" "${client_PID:-}" 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
coproc client { "$xclient"; }
echo "window 0 0 1920 1080 ff0000" >&"${client[1]}"
read -r window <&"${client[0]}"
echo "animate $window 33" >&"${client[1]}"
read -r _ <&"${client[0]}"
id=$("$lumatap" list | python3 -c 'import json, sys; print(json.load(sys.stdin)["displays"][0]["id"])')

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
