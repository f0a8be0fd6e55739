#!/usr/bin/env bash
# A long run of `lumatap video` and `lumatap audio` side by side, on a private Xvfb with an
# animated window and a private PulseAudio daemon with a tone playing, to show that nothing
# grows or goes wrong over time. Prints, for each stream, at the start and at the end: the
# frames (or seconds of sound) read so far, those that did not line up, resident memory,
# threads and open descriptors.
#
#   bench/soak.sh [BUILD_DIR] [SECONDS]      (defaults: build, 600)
#
# Not part of the test run: it takes as long as it is told to.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-600}
lumatap=$(realpath "$build/bin/lumatap")
xclient=$(realpath "$build/tests/xclient/lumatap_test_xclient")
for tool in Xvfb pulseaudio pactl pacat sox python3 "$lumatap" "$xclient"; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done

source bench/display.sh
dir=$(mktemp -d /tmp/lumatap-soak-XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    stop_display
    rm -rf "$dir"
}
trap cleanup EXIT
start_display

source bench/sound.sh
start_sound "$dir"
pids+=("$sound")
sox -n -t raw -r 48000 -e float -b 32 -c 2 "$dir/tone.raw" synth 5 sine 440 vol 0.5
# A player that keeps coming back, as programs start and stop playing over a long session.
(while :; do pacat --raw --format=float32le --rate=48000 --channels=2 "$dir/tone.raw" 2>/dev/null || sleep 0.2; done) &
pids+=($!)

window=$(ask window 100 100 640 360 2a6fdb title=Soak)
ask animate "$window" 40 >/dev/null
width=640 height=360
frame=$((width * height * 3 / 2))

# Each stream's output goes to a counter that reads it in the sizes the host would, whole
# frames for video and whole seconds for sound, and checks that each one lines up: a frame of
# the flat-coloured window has one luma and one chroma value throughout, and the tone plays
# the same on both channels.
count() { # KIND ITEM_BYTES OUT_FILE
    python3 -c '
import array, sys, time
kind, size, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
luma = size * 2 // 3
stdin = sys.stdin.buffer
items = bad = 0
last = time.monotonic()
def save():
    with open(out, "w") as f:
        f.write(f"{items} {bad}\n")
while True:
    item = stdin.read(size)
    if len(item) < size:
        break
    items += 1
    if kind == "video":
        ok = item[:luma] == item[0:1] * luma and item[luma:] == item[luma:luma + 2] * ((size - luma) // 2)
    else:
        samples = array.array("h", item)
        ok = samples[0::2] == samples[1::2]
    bad += not ok
    if time.monotonic() - last >= 1:
        last = time.monotonic()
        save()
save()
' "$1" "$2" "$3"
}

"$lumatap" video window "$window" "$width" "$height" 30 1 2>"$dir/video.err" |
    count video "$frame" "$dir/video.count" &
pids+=($!)
"$lumatap" audio 2>"$dir/audio.err" | count audio 192000 "$dir/audio.count" &
pids+=($!)
sleep 3
video=$(pgrep -f "lumatap video window $window" | head -n1)
audio=$(pgrep -f "lumatap audio" | head -n1)

report() { # WHEN
    for name in video audio; do
        local pid=${!name} counted bad rss threads fds
        read -r counted bad <"$dir/$name.count" || { counted=0; bad=0; }
        rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
        threads=$(awk '/Threads/ {print $2}' "/proc/$pid/status")
        fds=$(find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
        local unit="frames"
        [ "$name" = audio ] && unit="s of sound"
        printf '%-6s %-5s %8d %-10s misaligned %5d  RSS %7d KiB  threads %3d  fds %3d\n' \
            "$1" "$name" "$counted" "$unit" "$bad" "$rss" "$threads" "$fds"
    done
}

echo "lumatap video (640x360, 30 fps, an animated window) and audio (a player that comes and goes)"
echo "for $seconds s"
report start
sleep "$seconds"
report end
for name in video audio; do
    pid=${!name}
    kill -0 "$pid" 2>/dev/null || echo "$name: the process ended early: $(cat "$dir/$name.err")"
done
echo "video's standard error: $(tr '\n' ' ' <"$dir/video.err")"
echo "audio's standard error: $(tr '\n' ' ' <"$dir/audio.err")"
