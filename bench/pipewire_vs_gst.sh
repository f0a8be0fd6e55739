#!/usr/bin/env bash
# The PipeWire source under the screen stream against GStreamer's
#   pipewiresrc ! videoconvert ! videoscale ! video/x-raw,format=NV12,W,H ! fakesink
# on one node of the test producer, which sends as a desktop's shared-memory screencast does,
# in one run on a private PipeWire, the two sides taking turns. Each side's own CPU per frame,
# frames as the producer sent them to it, and PipeWire's CPU meanwhile.
#   full   a full-picture animation at 30 frames a second   goal: ours at most 0.5x
#   part   a 320x240 box moves, the rest stands still        goal: at most 0.25x
#   bench/pipewire_vs_gst.sh [BUILD_DIR] [SECONDS] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-5}
rounds=${3:-2}
bench=$build/bench/bench_pipewire_stream
producer=$build/tests/support/lumatap_test_pwvideo
hz=$(getconf CLK_TCK)

dir=$(mktemp -d /tmp/lumatap-pwbench-XXXXXX)
pids=()
cleanup() {
    exec 7>&- 2>/dev/null || true
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT
mkdir -p "$dir/run" && chmod 700 "$dir/run"
export HOME=$dir XDG_RUNTIME_DIR=$dir/run PIPEWIRE_RUNTIME_DIR=$dir/run
export XDG_CONFIG_HOME=$dir/config XDG_STATE_HOME=$dir/state
export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/run/bus
unset DISPLAY WAYLAND_DISPLAY PIPEWIRE_REMOTE
dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS" >/dev/null 2>&1 &
pids+=($!)
sleep 0.3
pipewire >/dev/null 2>&1 &
pipewire=$!
pids+=($pipewire)
sleep 0.3
wireplumber >/dev/null 2>&1 &
pids+=($!)
mkfifo "$dir/commands"
"$producer" 1280 720 <"$dir/commands" >"$dir/producer" 2>&1 &
pids+=($!)
exec 7>"$dir/commands"
for _ in $(seq 50); do grep -q '^node' "$dir/producer" && break; sleep 0.1; done
node=$(sed -n 's/^node //p' "$dir/producer")
sleep 1

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
sent() { grep -c '^sent' "$dir/producer" || true; }

# Runs a reader for $seconds after a settling second; prints "own_ms frames pipewire_ms".
measure() {
    "$@" >"$dir/out" 2>&1 &
    local pid=$!
    sleep 1
    local own pw frames
    own=$(ticks "$pid")
    pw=$(ticks "$pipewire")
    frames=$(sent)
    sleep "$seconds"
    own=$(($(ticks "$pid") - own))
    pw=$(($(ticks "$pipewire") - pw))
    frames=$(($(sent) - frames))
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    echo "$((own * 1000 / hz)) $frames $((pw * 1000 / hz))"
}

gst() {
    exec gst-launch-1.0 -q pipewiresrc target-object=lumatap-test-video ! videoconvert ! videoscale \
        ! video/x-raw,format=NV12,width=1280,height=720 ! fakesink
}

for scenario in full part; do
    if [ "$scenario" = full ]; then echo "animate 1280 720 30" >&7; else echo "animate 320 240 30" >&7; fi
    for round in $(seq "$rounds"); do
        read -r o_ms o_frames o_pw < <(measure "$bench" "$node" 1280 720 30 $((seconds + 3)))
        read -r g_ms g_frames g_pw < <(measure gst)
        awk -v s="$scenario" -v r="$round" -v om="$o_ms" -v of="$o_frames" -v op="$o_pw" \
            -v gm="$g_ms" -v gf="$g_frames" -v gp="$g_pw" 'BEGIN {
            printf "%s round %d: lumatap %.2f ms/frame (%d frames, pipewire %d ms), " \
                   "gst %.2f ms/frame (%d frames, pipewire %d ms), ratio %.2f\n",
                   s, r, om / (of ? of : 1), of, op, gm / (gf ? gf : 1), gf, gp,
                   (om / (of ? of : 1)) / (gm / (gf ? gf : 1) ? gm / (gf ? gf : 1) : 1) }'
    done
done
echo quit >&7
