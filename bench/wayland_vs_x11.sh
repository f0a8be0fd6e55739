#!/usr/bin/env bash
# The same requests on the same machine against sway headless (pixman, from the compositor
# chroot that scripts/wayland-chroot makes) and against Xvfb with openbox: a 1920x1080 output or
# screen with one 800x600 window of the project's test clients on it.
#   list, thumb display (into 640x360), thumb window (into 400x300): median wall time and
#       median CPU of lumatap over RUNS runs, plus the server's extra CPU per run (the mean of
#       what sway, or Xvfb and openbox, spent meanwhile less what they spend idle)
#   video window 800x600 at 30 fps: CPU per frame while the window animates (a new colour
#       every 33 ms) and CPU per second while it stands still, lumatap's own plus the
#       server's extra over what it spends with nobody capturing
#   video display into 1280x720 at 30 fps while the window animates: CPU per frame, where
#       only a part of the screen changes
#   bench/wayland_vs_x11.sh [BUILD_DIR] [RUNS] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-21}
seconds=${3:-10}
lumatap=$(realpath "${LUMATAP:-$build/bin/lumatap}")
xclient=$build/tests/xclient/lumatap_test_xclient
wlclient=$(realpath "$build/tests/wlclient/lumatap_test_wlclient")
chroot_dir=/var/cache/lumatap-sid
hz=$(getconf CLK_TCK)
screen_size=1920x1080

for tool in "$lumatap" "$xclient" "$wlclient"; do
    [ -x "$tool" ] || { echo "build $tool first" >&2; exit 1; }
done
bash scripts/wayland-chroot "$chroot_dir"

source bench/display.sh

runtime=
sway_pid=
wl_pid=
stop_all() {
    # The client first, so that it does not report the compositor gone.
    if [ -n "$wl_pid" ]; then
        kill "$wl_pid" 2>/dev/null || true
        wait "$wl_pid" 2>/dev/null || true
    fi
    kill "${sway_pid:-}" "${wm:-}" 2>/dev/null || true
    stop_display
    [ -n "$runtime" ] && rm -rf --one-file-system "$runtime"
}
trap stop_all EXIT

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
server_ticks() {
    local total=0 pid
    for pid in $servers; do
        total=$((total + $(ticks "$pid")))
    done
    echo "$total"
}

# The servers' ticks per second with nobody capturing, over $seconds.
idle_rate() {
    local before
    before=$(server_ticks)
    sleep "$seconds"
    awk -v t="$(($(server_ticks) - before))" -v s="$seconds" 'BEGIN {printf "%.3f", t / s}'
}

# Runs the command $runs times; prints "wall_ms own_cpu_ms server_extra_ms", the first two
# medians, the last a mean.
one_shot() {
    local rate=$1
    shift
    SERVERS="$servers" HZ="$hz" RATE="$rate" RUNS="$runs" python3 - "$@" <<'EOF'
import os, resource, statistics, subprocess, sys, time
hz = int(os.environ["HZ"])
def server():
    total = 0
    for pid in os.environ["SERVERS"].split():
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])
    return total
walls, cpus, extra = [], [], 0.0
for _ in range(int(os.environ["RUNS"])):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    s0 = server()
    t0 = time.perf_counter()
    done = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.perf_counter() - t0
    s1 = server()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        sys.exit(f"{sys.argv[1:]} failed: {done.stderr.decode()[:300]}")
    walls.append(wall * 1000)
    cpus.append((after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) * 1000)
    extra += max(0.0, (s1 - s0) - float(os.environ["RATE"]) * wall) * 1000 / hz
print(f"{statistics.median(walls):.1f} {statistics.median(cpus):.1f} {extra / len(walls):.1f}")
EOF
}

# Streams for $seconds (after one to settle) into a byte counter; prints
# "own_ticks frames server_ticks". Frames are of 800x600 unless $frame_bytes says otherwise.
stream() {
    local dir pid reader own server frames
    dir=$(mktemp -d)
    mkfifo "$dir/pipe"
    wc -c <"$dir/pipe" >"$dir/count" &
    reader=$!
    "$@" >"$dir/pipe" 2>"$dir/err" &
    pid=$!
    sleep 1
    if [ ! -e "/proc/$pid/stat" ]; then
        echo "$* ended early: $(head -c 300 "$dir/err")" >&2
        exit 1
    fi
    own=$(ticks "$pid")
    server=$(server_ticks)
    sleep "$seconds"
    own=$(($(ticks "$pid") - own))
    server=$(($(server_ticks) - server))
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    wait "$reader"
    frames=$(awk -v b="$(cat "$dir/count")" -v f="${frame_bytes:-$((800 * 600 * 3 / 2))}" -v s="$seconds" \
        'BEGIN {printf "%d", b / f * s / (s + 1)}')
    rm -rf "$dir"
    echo "$own $frames $server"
}

window_id() { # the id of the first window whose app is $1
    "$lumatap" list | python3 -c '
import json, sys
print(next(w["id"] for w in json.load(sys.stdin)["windows"] if w["app"] == sys.argv[1]))' "$1"
}

# Every measurement against the desktop now up; prints "name value ..." lines.
measure() {
    local app=$1 animate=$2 still=$3 display window rate own frames server busy
    display=$(first_display)
    window=$(window_id "$app")
    rate=$(idle_rate)
    echo "list $(one_shot "$rate" "$lumatap" list)"
    echo "thumb_display $(one_shot "$rate" "$lumatap" thumb display "$display" 640 360)"
    echo "thumb_window $(one_shot "$rate" "$lumatap" thumb window "$window" 400 300)"
    $animate
    busy=$(idle_rate)
    read -r own frames server < <(stream "$lumatap" video window "$window" 800 600 30 1)
    awk -v o="$own" -v f="$frames" -v s="$server" -v b="$busy" -v t="$seconds" -v hz="$hz" \
        'BEGIN {x = s - b * t; if (x < 0) x = 0;
                printf "video_frame %.2f %.2f %.2f %d\n", (o + x) * 1000 / hz / f, o * 1000 / hz / f, x * 1000 / hz / f, f}'
    read -r own frames server < <(frame_bytes=$((1280 * 720 * 3 / 2)) stream "$lumatap" video display "$display" 1280 720 30 1)
    awk -v o="$own" -v f="$frames" -v s="$server" -v b="$busy" -v t="$seconds" -v hz="$hz" \
        'BEGIN {x = s - b * t; if (x < 0) x = 0;
                printf "video_display %.2f %.2f %.2f %d\n", (o + x) * 1000 / hz / f, o * 1000 / hz / f, x * 1000 / hz / f, f}'
    $still
    window=$(window_id "$app")
    busy=$(idle_rate)
    read -r own frames server < <(stream "$lumatap" video window "$window" 800 600 30 1)
    awk -v o="$own" -v f="$frames" -v s="$server" -v b="$busy" -v t="$seconds" -v hz="$hz" \
        'BEGIN {x = s - b * t; if (x < 0) x = 0;
                printf "video_idle %.2f %.2f %.2f %d\n", (o + x) * 100 / hz / t, o * 100 / hz / t, x * 100 / hz / t, f}'
}

# ---- X11: Xvfb and openbox ----
start_display
start_window_manager
# shellcheck disable=SC2154 # xvfb is set by start_display
servers="$xvfb $wm"
xwindow=$(ask window 0 0 800 600 3366cc class=BenchX)
x_animate() { ask "animate $xwindow 33" >/dev/null; }
x_still() {
    ask "destroy $xwindow" >/dev/null
    xwindow=$(ask window 0 0 800 600 3366cc class=BenchX)
    sleep 1
}
sleep 1
x11=$(measure BenchX x_animate x_still)
kill "$wm" 2>/dev/null || true
stop_display
unset DISPLAY

# ---- sway headless, natively ----
uid=$(chroot "$chroot_dir" id -u lumatap)
gid=$(chroot "$chroot_dir" id -g lumatap)
runtime=$(mktemp -d "$chroot_dir/run/bench-XXXXXX")
inside=/run/$(basename "$runtime")
cat >"$runtime/sway.conf" <<EOF
output HEADLESS-1 resolution $screen_size position 0 0 scale 1
for_window [app_id="bench.wayland"] floating enable, resize set 800 600, move position 0 0
xwayland disable
EOF
chown "$uid:$gid" "$runtime"
chmod 700 "$runtime"
chroot --userspec="$uid:$gid" "$chroot_dir" /usr/bin/env -i PATH=/usr/bin:/bin \
    HOME=/home/lumatap XDG_RUNTIME_DIR="$inside" WLR_BACKENDS=headless WLR_RENDERER=pixman \
    WLR_LIBINPUT_NO_DEVICES=1 sway -c "$inside/sway.conf" >/dev/null 2>&1 &
sway_pid=$!
for _ in $(seq 200); do
    socket=$(find "$runtime" -maxdepth 1 -type s -name 'wayland-*' -printf '%f\n' | head -n1)
    [ -n "$socket" ] && break
    sleep 0.05
done
[ -n "$socket" ] || { echo "sway did not start" >&2; exit 1; }
export XDG_RUNTIME_DIR=$runtime WAYLAND_DISPLAY=$socket
SWAYSOCK=$(find "$runtime" -maxdepth 1 -type s -name 'sway-ipc.*' | head -n1)
export SWAYSOCK
servers=$sway_pid
coproc wl { "$wlclient"; }
# shellcheck disable=SC2154 # set by coproc
wl_pid=$wl_PID
wl_ask() {
    local answer
    echo "$*" >&"${wl[1]}"
    read -r answer <&"${wl[0]}"
    echo "$answer"
}
wwindow=$(wl_ask window 800 600 3366cc bench.wayland title=Bench)
w_animate() { wl_ask "animate $wwindow 33" >/dev/null; }
w_still() {
    wl_ask "destroy $wwindow" >/dev/null
    wwindow=$(wl_ask window 800 600 3366cc bench.wayland title=Bench)
    sleep 1
}
sleep 1
wayland=$(measure bench.wayland w_animate w_still)

echo "== $screen_size, one 800x600 window; median of $runs runs, video over $seconds s"
join <(echo "$x11" | sort) <(echo "$wayland" | sort) | awk '
    $1 ~ /^(list|thumb)/ {
        printf "%-14s wall ms  X11 %7.1f  sway %7.1f | CPU ms own+server  X11 %6.1f+%-6.1f sway %6.1f+%-6.1f\n",
            $1, $2, $5, $3, $4, $6, $7 }
    $1 == "video_frame" || $1 == "video_display" {
        printf "%-14s CPU ms/frame  X11 %6.2f (own %5.2f + server %5.2f, %4d frames)  sway %6.2f (own %5.2f + server %5.2f, %4d frames)\n",
            $1, $2, $3, $4, $5, $6, $7, $8, $9 }
    $1 == "video_idle" {
        printf "%-14s %% CPU        X11 %6.2f (own %5.2f + server %5.2f, %4d frames)  sway %6.2f (own %5.2f + server %5.2f, %4d frames)\n",
            $1, $2, $3, $4, $5, $6, $7, $8, $9 }'
