#!/usr/bin/env bash
# Measures the CPU use of a whole `lumatap audio` process while it streams: first while
# nothing plays, then while another process plays a tone. Starts a private PulseAudio daemon
# and Xvfb of its own, and stops them again.
#   bench/audio_cpu.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build}/bin/lumatap")
seconds=${2:-20}
dir=$(mktemp -d /tmp/lumatap-cpu-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

source bench/sound.sh
start_sound "$dir"
pids+=("$sound")
display=:$((200 + $$ % 300))
Xvfb "$display" -screen 0 640x480x24 -nolisten tcp 2>/dev/null &
pids+=($!)
export DISPLAY=$display

"$bin" audio > >(cat >/dev/null) 2>"$dir/err" &
tool=$!
pids+=($tool)
for _ in $(seq 100); do grep -q ready "$dir/err" 2>/dev/null && break; sleep 0.1; done

ticks() { awk '{print $14 + $15}' "/proc/$tool/stat"; }
measure() {
  sleep 2 # let it settle
  local before after
  before=$(ticks)
  sleep "$seconds"
  after=$(ticks)
  awk -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" -v s="$seconds" -v what="$1" \
    'BEGIN { printf "%-24s %5.2f %% of one core\n", what, 100 * t / hz / s }'
}

measure "silence:"
sox -n -t raw -r 48000 -e float -b 32 -c 2 "$dir/tone.raw" synth $((seconds + 5)) sine 440 vol 0.5
pacat --raw --format=float32le --rate=48000 --channels=2 "$dir/tone.raw" &
pids+=($!)
measure "one stream playing:"
