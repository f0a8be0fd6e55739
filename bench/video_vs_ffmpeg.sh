#!/usr/bin/env bash
# `lumatap video display ID W H 30 1` against ffmpeg's x11grab making the same NV12 stream
# (bilinear scale, BT.709 video range), side by side in one run on a private Xvfb, each into a
# reader that only counts bytes. CPU counts the capturing process and the X server's extra
# work for it: the server's CPU meanwhile, less what it spends with nobody capturing (the
# baseline, measured before each scenario).
#   full    a full-screen animation: CPU per frame         goal: lumatap at most 0.3x ffmpeg
#   part    a 320x240 part animates, the rest stands still  goal: at most 0.1x
#   still   nothing changes: CPU per second                goal: at most 0.05x
#   latency drawn -> first frame on stdout showing it, median  goal: at most 0.5x
# Run for a 1920x1080 screen into 1280x720, then a 3840x2160 screen into 1920x1080; each CPU
# figure is the median of ROUNDS rounds (5 unless set), the two tools taking turns.
#   bench/video_vs_ffmpeg.sh [BUILD_DIR] [SECONDS] [LATENCY_SAMPLES]
# LUMATAP=path measures another build of lumatap; SIZES="3840x2160 1920 1080" only that size.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-10}
samples=${3:-15}
rounds=${ROUNDS:-5}
lumatap=${LUMATAP:-$build/bin/lumatap}
xclient=$build/tests/xclient/lumatap_test_xclient
hz=$(getconf CLK_TCK)

source bench/display.sh
trap stop_display EXIT

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# Every time a thread of the process gave up the processor or had it taken, summed over its
# threads: each frame's wake-ups (hand-offs between threads, waits for the server, a full pipe)
# show here.
switches() {
    cat /proc/"$1"/task/*/status 2>/dev/null |
        awk '/^(non)?voluntary_ctxt_switches/ {n += $2} END {print n + 0}'
}

# The server's CPU ticks over $seconds with nobody capturing.
baseline() {
    local before
    before=$(ticks "$xvfb")
    sleep "$seconds"
    echo $(($(ticks "$xvfb") - before))
}

# Runs the command for $seconds into a reader that takes a whole frame at a time, as a host
# does; prints "own_ticks frames server_ticks switches".
measure() {
    local dir
    dir=$(mktemp -d)
    mkfifo "$dir/pipe"
    dd if="$dir/pipe" of=/dev/null bs="$frame" iflag=fullblock 2>&1 |
        awk '/bytes/ {print $1}' >"$dir/count" &
    local reader=$!
    "$@" >"$dir/pipe" 2>"$dir/err" &
    local pid=$!
    sleep 1 # started and settled: start-up is not what is measured
    if [ ! -e "/proc/$pid/stat" ]; then
        echo "$1 ended early: $(head -c 300 "$dir/err")" >&2
        exit 1
    fi
    local own server woken
    own=$(ticks "$pid")
    server=$(ticks "$xvfb")
    woken=$(switches "$pid")
    sleep "$seconds"
    own=$(($(ticks "$pid") - own))
    server=$(($(ticks "$xvfb") - server))
    woken=$(($(switches "$pid") - woken))
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    wait "$reader"
    # Frames over the whole run, scaled to the measured part of it.
    local frames
    frames=$(awk -v b="$(cat "$dir/count")" -v f="$frame" -v s="$seconds" \
        'BEGIN {printf "%d", b / f * s / (s + 1)}')
    echo "$own $frames $server $woken"
    rm -rf "$dir"
}

ffmpeg_stream() {
    exec ffmpeg -loglevel error -f x11grab -framerate 30 -video_size "$screen_size" -i "$DISPLAY" \
        -vf "scale=$out_width:$out_height:flags=bilinear:out_color_matrix=bt709:out_range=tv" \
        -pix_fmt nv12 -flush_packets 1 -f rawvideo -
}

# One scenario, $rounds times: a baseline, then both tools one after the other; prints a table
# row of the medians over the rounds. $1 is the name, $2 "frame" or "second" for what the CPU
# is counted per, $3 the goal.
scenario() {
    local name=$1 per=$2 base lown lframes lserver lwoken fown fframes fserver fwoken
    for _ in $(seq "$rounds"); do
        base=$(baseline)
        # Asked afresh: a display's id may change as windows come and go.
        id=$(first_display)
        read -r lown lframes lserver lwoken < <(measure "$lumatap" video display "$id" "$out_width" "$out_height" 30 1)
        read -r fown fframes fserver fwoken < <(measure ffmpeg_stream)
        echo "$base $lown $lframes $lserver $lwoken $fown $fframes $fserver $fwoken"
    done | awk -v name="$name" -v per="$per" -v hz="$hz" -v s="$seconds" -v goal="$3" '
    function median(a, n,    i, j, t) {
        for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    {
        base = $1; lo = $2; lf = $3; ls = $4; lw = $5; fo = $6; ff = $7; fs = $8; fw = $9
        lx = ls - base; if (lx < 0) lx = 0
        fx = fs - base; if (fx < 0) fx = 0
        if (per == "frame") {
            lunit = lf ? 1000 / hz / lf : 0; funit = ff ? 1000 / hz / ff : 0
            lwake = lf ? lw / lf : 0; fwake = ff ? fw / ff : 0
        } else {
            lunit = 100 / hz / s; funit = 100 / hz / s
            lwake = lw / s; fwake = fw / s
        }
        n++
        LT[n] = (lo + lx) * lunit; LO[n] = lo * lunit; LX[n] = lx * lunit; LF[n] = lf; LW[n] = lwake
        FT[n] = (fo + fx) * funit; FO[n] = fo * funit; FX[n] = fx * funit; FF[n] = ff; FW[n] = fwake
        R[n] = FT[n] > 0 ? LT[n] / FT[n] : 0
    }
    END {
        u = per == "frame" ? "ms/frame" : "% CPU"; wu = per == "frame" ? "/frame" : "/s"
        printf "%-8s %-9s lumatap %6.2f (own %5.2f + server %5.2f, %4d frames, %5.1f wake-ups%s)  ffmpeg %6.2f (own %5.2f + server %5.2f, %4d frames, %5.1f wake-ups%s)  ratio %.2f (goal %s, median of %d rounds)\n",
            name, u, median(LT, n), median(LO, n), median(LX, n), median(LF, n), median(LW, n), wu,
            median(FT, n), median(FO, n), median(FX, n), median(FF, n), median(FW, n), wu, median(R, n), goal, n
    }'
}

latency() {
    local l f
    l=$(python3 bench/latency.py "$xclient" "$lumatap" "$out_width" "$out_height" "$screen_width" "$screen_height" "$samples" -- \
        "$lumatap" video display "{display}" "$out_width" "$out_height" 30 1)
    f=$(python3 bench/latency.py "$xclient" "$lumatap" "$out_width" "$out_height" "$screen_width" "$screen_height" "$samples" -- \
        bash -c "$(declare -f ffmpeg_stream); screen_size=$screen_size out_width=$out_width out_height=$out_height ffmpeg_stream")
    awk -v l="$l" -v f="$f" 'BEGIN {
        printf "%-8s %-9s lumatap %6.1f  ffmpeg %6.1f  ratio %.2f (goal 0.50)\n", "latency", "ms median", l, f, (f > 0 ? l / f : 0)
    }'
}

sizes=${SIZES:-"1920x1080 1280 720,3840x2160 1920 1080"}
IFS=, read -r -a runs <<<"$sizes"
for run in "${runs[@]}"; do
    read -r screen_size out_width out_height <<<"$run"
    screen_width=${screen_size%x*}
    screen_height=${screen_size#*x}
    frame=$((out_width * out_height * 3 / 2))
    start_display
    echo "== $screen_size screen into ${out_width}x$out_height"
    full=$(ask window 0 0 "$screen_width" "$screen_height" ff0000)
    ask "animate $full 33" >/dev/null
    scenario full frame 0.30
    ask "destroy $full" >/dev/null
    still=$(ask window 0 0 "$screen_width" "$screen_height" 336699 pattern=1)
    part=$(ask window $((screen_width / 2)) $((screen_height / 2)) 320 240 ff0000)
    ask "animate $part 33" >/dev/null
    scenario part frame 0.10
    ask "destroy $part" >/dev/null
    scenario still second 0.05
    ask "destroy $still" >/dev/null
    latency
    stop_display
done
