#!/usr/bin/env bash
# lumatap against GStreamer on headless GNOME (the tree of scripts/wayland-chroot gnome, its
# session from scripts/gnome-session, software rendering): the same 1280x720 monitor read as
# 1280x720 NV12 by
#   lumatap video display ID 1280 720 30 1
#   gst-launch-1.0 pipewiresrc path=NODE ! videoconvert ! videoscale !
#       video/x-raw,format=NV12,width=1280,height=720 ! fdsink
# (on a ScreenCast node of the same monitor that a helper holds open), while a window
# animates full screen, then while only a 320x240 window changes. Runs are interleaved
# (nobody reading, lumatap, GStreamer) ROUNDS times, SECONDS each after a second's start;
# for each: frames per second written, the reader's own CPU per frame, and what gnome-shell
# and PipeWire spent beyond what they spend with nobody reading, per frame the reader wrote.
#   bench/gnome_vs_gst.sh [BUILD_DIR] [ROUNDS] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rounds=${2:-2}
seconds=${3:-10}
lumatap=$(realpath "${LUMATAP:-$build/bin/lumatap}")
hz=$(getconf CLK_TCK)
frame=$((1280 * 720 * 3 / 2))
[ -x "$lumatap" ] || { echo "build $lumatap first" >&2; exit 1; }
bash scripts/wayland-chroot gnome >/dev/null

work=$(mktemp -d)
mkfifo "$work/pipe"
session=
helpers=()
stop_all() {
  for p in "${helpers[@]}"; do kill "$p" 2>/dev/null || true; done
  if [ -n "$session" ]; then
    # The shell's children (buses, PipeWire) with it.
    pkill -P "$session" 2>/dev/null || true
    kill "$session" 2>/dev/null || true
  fi
  rm -rf "$work" "${runtime:-/nonexistent}"
}
trap stop_all EXIT

scripts/gnome-session >"$work/session" 2>"$work/session.err" &
session=$!
for _ in $(seq 600); do
  [ "$(sed -n 2p "$work/session")" = ready ] && break
  sleep 0.1
done
runtime=$(head -1 "$work/session")
inside=/run/${runtime##*/}
uid=$(stat -c %u "$runtime")
cp bench/gnome/*.py "$runtime/"
chown "$uid" "$runtime"/*.py
pipewire=$(pgrep -P "$session" -x pipewire)
# Both end in exec, so that a run started as `... &` has the program's own pid in $!.
in_session() { exec scripts/gnome-session --run "$session" "$runtime" "$@"; }
as_user() {
  exec setpriv --reuid="$uid" --regid="$uid" --clear-groups env -u DISPLAY XDG_RUNTIME_DIR="$runtime" \
    WAYLAND_DISPLAY=wayland-0 DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/bus" "$@"
}
ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
display=$( (as_user "$lumatap" list) | python3 -c 'import json,sys; print(json.load(sys.stdin)["displays"][0]["id"])')

# One run of SECONDS: the reader's pid comes from start_*, the bytes through count.py.
measure() { # name reader_pid
  local name=$1 pid=$2 r0 s0 p0 b0 r1 s1 p1 b1
  sleep 1
  r0=$(ticks "$pid") s0=$(ticks "$session") p0=$(ticks "$pipewire") b0=$(cat "$bytes" 2>/dev/null || echo 0)
  sleep "$seconds"
  r1=$(ticks "$pid") s1=$(ticks "$session") p1=$(ticks "$pipewire") b1=$(cat "$bytes" 2>/dev/null || echo 0)
  echo "$name $(((r1 - r0))) $(((s1 - s0))) $(((p1 - p0))) $(((b1 - b0) / frame))" >>"$work/runs"
}

run=0
# A file of its own for each run's count, and the counter gone before the next run starts.
counting() {
  run=$((run + 1))
  bytes=$work/bytes.$run
  python3 bench/gnome/count.py "$bytes" <"$work/pipe" &
  counter=$!
}
stop_run() { # reader_pid
  kill "$1" 2>/dev/null || echo "the reader ended early: $(tail -1 "$work/reader.err")" >&2
  wait "$1" "$counter" 2>/dev/null || true
}
run_idle() {
  bytes=$work/none
  measure idle "$session"
}
# Each reader writes into a pipe that count.py reads; both start by exec, so $! is the reader.
run_lumatap() {
  counting
  (as_user "$lumatap" video display "$display" 1280 720 30 1 >"$work/pipe" 2>"$work/reader.err") &
  local pid=$!
  measure lumatap "$pid"
  stop_run "$pid"
}
run_gst() {
  counting
  (in_session gst-launch-1.0 -q pipewiresrc path="$node" ! videoconvert ! videoscale ! \
    video/x-raw,format=NV12,width=1280,height=720 ! fdsink >"$work/pipe" 2>"$work/reader.err") &
  local pid=$!
  measure gst "$pid"
  stop_run "$pid"
}

report() { # scenario
  python3 - "$work/runs" "$1" "$hz" "$seconds" <<'PY'
import sys
from collections import defaultdict
runs, scenario, hz, seconds = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
rows = defaultdict(list)
for line in open(runs):
    name, own, shell, pw, frames = line.split()
    rows[name].append((int(own), int(shell), int(pw), int(frames)))
idle_shell = sum(r[1] for r in rows["idle"]) / len(rows["idle"])
idle_pw = sum(r[2] for r in rows["idle"]) / len(rows["idle"])
print(f"{scenario}: shell idle {1000 * idle_shell / hz / seconds:.0f} ms/s")
for name in ("lumatap", "gst"):
    for own, shell, pw, frames in rows[name]:
        f = max(frames, 1)
        print(f"  {name:8} {frames / seconds:5.1f} fps  own {1000 * own / hz / f:6.2f} ms/frame"
              f"  shell extra {1000 * (shell - idle_shell) / hz / f:6.2f} ms/frame"
              f"  PipeWire extra {1000 * (pw - idle_pw) / hz / f:6.2f} ms/frame")
PY
}

mkfifo "$work/hold"
(in_session python3 "$inside/cast.py" Meta-0 >"$work/node" 2>/dev/null <"$work/hold") &
helpers+=($!)
# Held open for writing until the end, so the cast stays.
exec 7<>"$work/hold"
for _ in $(seq 100); do [ -s "$work/node" ] && break; sleep 0.1; done
node=$(head -1 "$work/node")

for scenario in full small; do
  (in_session python3 "$inside/animate.py" "$scenario" >/dev/null 2>&1 </dev/null) &
  animation=$!
  helpers+=("$animation")
  sleep 3
  rm -f "$work/runs"
  for _ in $(seq "$rounds"); do
    run_idle
    run_lumatap
    run_gst
  done
  report "$scenario"
  kill "$animation" 2>/dev/null || true
  wait "$animation" 2>/dev/null || true
  sleep 1
done
