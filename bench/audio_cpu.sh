#!/usr/bin/env bash
# Measures the CPU use of a whole `lumatap audio` process while it streams: first while
# nothing plays, then while another process plays a tone. Starts a private sound server and
# Xvfb of its own, and stops them again.
#   bench/audio_cpu.sh [BUILD_DIR] [SECONDS] [SERVER...]
# SERVER: pulseaudio, pipewire (recorded natively), pipewire-pulse (PipeWire through its pulse
# server, the tool kept from PipeWire's socket); all three when none is given.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/sound.sh
bin=$(realpath "${1:-build}/bin/lumatap")
seconds=${2:-20}
shift $(($# > 2 ? 2 : $#))
servers=("$@")
[ ${#servers[@]} -gt 0 ] || servers=(pulseaudio pipewire pipewire-pulse)

run_one() {
  local server=$1 dir pids=() tool_env=()
  dir=$(mktemp -d /tmp/lumatap-cpu-XXXXXX)
  cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$dir"
  }
  trap cleanup EXIT
  local display
  start_bench_servers "$server" "$dir"

  env DISPLAY="$display" "${tool_env[@]}" "$bin" audio > >(cat >/dev/null) 2>"$dir/err" &
  local tool=$!
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
      'BEGIN { printf "%-40s %5.2f %% of one core\n", what, 100 * t / hz / s }'
  }

  measure "$server, silence:"
  sox -n -t raw -r 48000 -e float -b 32 -c 2 "$dir/tone.raw" synth $((seconds + 5)) sine 440 vol 0.5
  pacat --raw --format=float32le --rate=48000 --channels=2 "$dir/tone.raw" 2>/dev/null &
  pids+=($!)
  measure "$server, one stream playing:"
  cleanup
  trap - EXIT
}

for server in "${servers[@]}"; do
  run_one "$server"
done
