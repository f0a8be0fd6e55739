#!/usr/bin/env bash
# Records a steady tone with `lumatap audio` while stress-ng keeps every core busy, and prints
# the gaps, holes and level dips per second (bench/pcm_gaps.py), with how long the stream took
# to deliver its bytes (the host's clock is the byte count: 192000 bytes a second). The tone
# already plays when the tool starts, so it must be there from the first byte. parec records
# the sink's monitor beside it, for the gaps of the server and the player. Starts private
# sound servers and Xvfb of its own, and stops them again.
#   bench/audio_gaps.sh [BUILD_DIR] [SECONDS] [SERVER...]
# SERVER: pulseaudio (a PulseAudio daemon), pipewire (PipeWire, the tool recording natively),
# pipewire-pulse (PipeWire, the tool kept from its native socket so that it goes through the
# pulse server). All three when none is given. LOAD (default "--cpu 4") is stress-ng's load;
# LOAD=none records without one.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/sound.sh
bin=$(realpath "${1:-build}/bin/lumatap")
seconds=${2:-60}
shift $(($# > 2 ? 2 : $#))
servers=("$@")
[ ${#servers[@]} -gt 0 ] || servers=(pulseaudio pipewire pipewire-pulse)
load=${LOAD:---cpu 4}
bytes=$((seconds * 192000))

run_one() {
    local server=$1 dir pids=() tool_env=()
    dir=$(mktemp -d /tmp/lumatap-gaps-XXXXXX)
    cleanup() {
        for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
        wait 2>/dev/null || true
        rm -rf "$dir"
    }
    trap cleanup EXIT
    local display
    start_bench_servers "$server" "$dir"

    python3 -c "
import array, math, sys
n = 48000 * ($seconds + 30)
w = 2 * math.pi * 440 / 48000
a = array.array('f', (0.5 * math.sin(w * (k // 2)) for k in range(2 * n)))
sys.stdout.buffer.write(a.tobytes())" >"$dir/tone.raw"
    pacat --playback --raw --format=float32le --rate=48000 --channels=2 "$dir/tone.raw" 2>/dev/null &
    pids+=($!)
    sleep 1.5

    local start ready end
    start=$(date +%s.%N)
    (env DISPLAY="$display" "${tool_env[@]}" "$bin" audio 2>"$dir/err" | head -c "$bytes" >"$dir/pcm") &
    local reader=$!
    # What the sink itself plays, beside it: gaps that it has too are the server's or the
    # player's, not the tool's.
    (parec --raw --format=s16le --rate=48000 --channels=2 -d lumatap_null.monitor 2>/dev/null |
        head -c "$bytes" >"$dir/reference") &
    local reference=$!
    for _ in $(seq 200); do grep -q ready "$dir/err" 2>/dev/null && break; sleep 0.02; done
    ready=$(date +%s.%N)
    if [ "$load" != none ]; then
        stress-ng $load --timeout $((seconds + 5))s --quiet &
        pids+=($!)
    fi
    wait "$reader" || true
    end=$(date +%s.%N)
    wait "$reference" || true
    echo "$server: ready after $(awk -v a="$start" -v b="$ready" 'BEGIN{printf "%.2f", b-a}') s," \
        "$(stat -c %s "$dir/pcm") bytes in $(awk -v a="$ready" -v b="$end" 'BEGIN{printf "%.2f", b-a}') s" \
        "(load: $load); stderr: $(tr '\n' ' ' <"$dir/err")"
    python3 bench/pcm_gaps.py "$dir/pcm" 440 0.5
    echo "  the sink's monitor beside it (parec):"
    python3 bench/pcm_gaps.py "$dir/reference" 440 0.5
    cleanup
    trap - EXIT
}

for server in "${servers[@]}"; do
    run_one "$server"
done
