#!/usr/bin/env bash
# Wall time of one whole `lumatap list` process against `wmctrl -l`, on a private 1920x1080
# Xvfb under openbox with 300 and then 1000 mapped windows: straight to the server, and through
# the test X relay holding every chunk 1 ms each way (a 2 ms round trip, as to a remote
# display). The runs are interleaved, so that the load of the machine falls on both alike, and
# the medians are printed with their ratio. The X traffic of one run of each, counted by the
# relay, shows where the time over a slow link goes: a turn is a reply that came after new
# requests, a round trip the client may have waited on.
#
#   bench/list_vs_wmctrl.sh [BUILD_DIR] [RUNS]      (defaults: build, 11)
#
# Over the slow link a run takes at least turns x 2 ms, so there the runs stop once a count has
# used up its time budget of LIST_BENCH_SLOW_BUDGET seconds (60; at least one run each, and the
# line says how many there were), and a single run is stopped after LIST_BENCH_SLOW_CAP seconds
# (45), which then shows as "> 45000 ms".
#
# Goal: lumatap takes at most 1.5 times wmctrl's time, for 300 and for 1000 windows, straight
# and over the 2 ms link.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-11}
budget=${LIST_BENCH_SLOW_BUDGET:-60} # seconds of slow-link runs for each window count
slowCap=${LIST_BENCH_SLOW_CAP:-45}   # seconds after which one slow-link run is stopped
lumatap=$build/bin/lumatap
xclient=$build/tests/xclient/lumatap_test_xclient
xproxy=$build/tests/support/lumatap_test_xproxy
for tool in Xvfb openbox wmctrl xprop python3 "$lumatap" "$xclient" "$xproxy"; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done

source bench/display.sh
work=$(mktemp -d)
cleanup() {
    [ -n "${relayPid:-}" ] && stop_relay
    kill "${wm:-}" 2>/dev/null || true
    stop_display
    rm -rf "$work"
}
trap cleanup EXIT
start_display
start_window_manager
server=$DISPLAY

opened=0
# Opens windows up to `count` in all, of varied sizes from 160x120 up, spread over the screen.
open_windows() {
    local count=$1 i
    for ((i = opened; i < count; i++)); do
        ask window $((i * 37 % 1500)) $((i * 23 % 800)) $((160 + i % 240)) $((120 + i % 160)) \
            "$(printf '%06x' $((i * 2654435761 % 16777216)))" "title=bench window $i" >/dev/null
    done
    opened=$count
}

# Both tools must see every window, or the times compare unlike work.
check_complete() {
    local count=$1 listed managed
    listed=$("$lumatap" list | python3 -c 'import json, sys; print(len(json.load(sys.stdin)["windows"]))')
    managed=$(wmctrl -l | wc -l)
    if [ "$listed" -lt "$count" ] || [ "$managed" -lt "$count" ]; then
        echo "lumatap lists $listed windows and wmctrl $managed of $count" >&2
        exit 1
    fi
}

now() { date +%s%N; }
declare -A times capped
cap=0 # seconds after which a run is stopped and counted as over; 0: none
measure() {
    local name=$1
    shift
    local start end status=0
    start=$(now)
    if [ "$cap" -gt 0 ]; then
        timeout "$cap" "$@" >/dev/null 2>"$work/err" || status=$?
    else
        "$@" >/dev/null 2>"$work/err" || status=$?
    fi
    end=$(now)
    if [ "$status" -eq 124 ]; then
        capped[$name]=1
    elif [ "$status" -ne 0 ]; then
        echo "$name failed:" >&2
        cat "$work/err" >&2
        exit 1
    fi
    times[$name]+="$(((end - start) / 1000)) "
}
median() { tr ' ' '\n' | grep . | sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# Interleaved runs of both tools on $DISPLAY under the key `label`: at most `limit` pairs, and
# with `seconds` > 0 no pair that would end after that many seconds, judged by the last one.
compare() {
    local label=$1 limit=$2 seconds=$3 start pairs=0 before after
    start=$(date +%s)
    while [ "$pairs" -lt "$limit" ]; do
        before=$(date +%s)
        measure "lumatap $label" "$lumatap" list
        measure "wmctrl $label" wmctrl -l
        pairs=$((pairs + 1))
        after=$(date +%s)
        if [ "$seconds" -gt 0 ] && [ $((2 * after - before - start)) -gt "$seconds" ]; then
            break
        fi
    done
    local l w
    l=$(echo "${times[lumatap $label]}" | median)
    w=$(echo "${times[wmctrl $label]}" | median)
    # A run stopped at the cap only says that the tool takes longer than that.
    awk -v label="$label" -v n="$pairs" -v l="$l" -v w="$w" -v lc="${capped[lumatap $label]:-0}" \
        -v wc="${capped[wmctrl $label]:-0}" 'BEGIN {
        lo = lc ? ">" : " "; wo = wc ? ">" : " "; ro = (lc && !wc) ? ">" : (wc && !lc) ? "<" : (lc ? "?" : " ")
        printf "  %-20s %3d runs  lumatap %s%9.1f ms  wmctrl %s%9.1f ms  lumatap/wmctrl %s%.2f%s\n",
            label, n, lo, l / 1000, wo, w / 1000, ro, l / w, (l / w <= 1.5 && !lc) ? "" : "  (goal <= 1.5)"
    }'
}

# The X traffic of one run of a tool through an undelayed relay, summed over its connections.
traffic() {
    local stats=$work/stats
    rm -f "$stats"
    start_relay --stats "$stats"
    DISPLAY=$relay "$@" >/dev/null
    stop_relay
    relayPid=
    awk '{for (i = 1; i <= NF; i++) {split($i, f, "="); s[f[1]] += f[2]}}
        END {printf "%d requests, %d replies, %d events, %d turns (>= %.1f s over the 2 ms link), %d KiB from the server",
            s["requests"], s["replies"], s["events"], s["turns"], s["turns"] * 0.002, s["server_bytes"] / 1024}' "$stats"
}

echo "lumatap list against wmctrl -l, 1920x1080 Xvfb under openbox, median wall time of one process"
for count in 300 1000; do
    open_windows "$count"
    check_complete "$count"
    echo "$count windows"
    echo "  X traffic of lumatap list: $(traffic "$lumatap" list)"
    echo "  X traffic of wmctrl -l:    $(traffic wmctrl -l)"
    compare "$count direct" "$runs" 0
    start_relay --delay-ms 1
    DISPLAY=$relay
    cap=$slowCap
    compare "$count 2 ms link" "$runs" "$budget"
    cap=0
    DISPLAY=$server
    stop_relay
    relayPid=
done
