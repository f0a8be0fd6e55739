# Sourced by the benchmark scripts: a private sound server whose only output is a null sink,
# with everything it keeps in the folder given.
#   start_sound DIR      starts a PulseAudio daemon, exports PULSE_SERVER and PULSE_COOKIE,
#                        and waits until it answers; $sound is its process id
#   start_pipewire DIR   starts PipeWire as a desktop runs it (a session bus, pipewire,
#                        wireplumber, pipewire-pulse), exports PULSE_SERVER and
#                        PIPEWIRE_RUNTIME_DIR, and waits until it answers; $sound holds the
#                        process ids

start_sound() {
    local dir=$1
    (
        unset DISPLAY DBUS_SESSION_BUS_ADDRESS PULSE_SERVER
        export HOME=$dir XDG_RUNTIME_DIR=$dir XDG_CONFIG_HOME=$dir PULSE_RUNTIME_PATH=$dir \
            PULSE_STATE_PATH=$dir
        exec pulseaudio --daemonize=no -n --system=no --use-pid-file=no --exit-idle-time=-1 \
            --realtime=no --high-priority=no --log-target=stderr --log-level=error -F /dev/null \
            --load="module-null-sink sink_name=lumatap_null rate=48000" \
            --load="module-native-protocol-unix auth-anonymous=1 socket=$dir/native"
    ) 2>"$dir/pulse.log" &
    sound=$!
    export PULSE_SERVER=unix:$dir/native PULSE_COOKIE=$dir/cookie
    for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
}

start_pipewire() {
    local dir=$1 run=$1/run
    mkdir -p -m 700 "$run" "$dir/config/pipewire/pipewire.conf.d" \
        "$dir/config/wireplumber/main.lua.d" "$dir/config/wireplumber/bluetooth.lua.d"
    cat >"$dir/config/pipewire/pipewire.conf.d/lumatap.conf" <<'CONF'
context.objects = [
  { factory = adapter
    args = {
      factory.name = support.null-audio-sink
      node.name = lumatap_null
      media.class = Audio/Sink
      audio.position = [ FL FR ]
      audio.rate = 48000
    }
  }
]
CONF
    printf 'alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n' \
        >"$dir/config/wireplumber/main.lua.d/51-lumatap.lua"
    echo 'bluez_monitor.enabled = false' >"$dir/config/wireplumber/bluetooth.lua.d/51-lumatap.lua"
    sound=()
    local daemon
    for daemon in "dbus-daemon --session --nofork --nopidfile --address=unix:path=$run/bus" \
        pipewire wireplumber pipewire-pulse; do
        (
            unset DISPLAY WAYLAND_DISPLAY PULSE_SERVER PIPEWIRE_REMOTE
            export HOME=$dir XDG_RUNTIME_DIR=$run PIPEWIRE_RUNTIME_DIR=$run \
                XDG_CONFIG_HOME=$dir/config XDG_STATE_HOME=$dir/state XDG_DATA_HOME=$dir/data \
                DBUS_SESSION_BUS_ADDRESS=unix:path=$run/bus \
                DBUS_SYSTEM_BUS_ADDRESS=unix:path=$run/no-system-bus
            exec $daemon
        ) 2>>"$dir/pipewire.log" &
        sound+=($!)
        for _ in $(seq 100); do
            case $daemon in
            dbus*) [ -S "$run/bus" ] && break ;;
            pipewire) [ -S "$run/pipewire-0" ] && break ;;
            *) break ;;
            esac
            sleep 0.05
        done
    done
    unset PIPEWIRE_REMOTE
    export PULSE_SERVER=unix:$run/pulse/native PIPEWIRE_RUNTIME_DIR=$run
    for _ in $(seq 200); do
        pactl info 2>/dev/null | grep -q 'Default Sink: lumatap_null' && break
        sleep 0.05
    done
}

# Starts, in DIR, the sound server a bench names and an Xvfb for the tool: pulseaudio, pipewire,
# or pipewire-pulse (PipeWire, with the tool kept from its native socket so that it goes
# through the pulse server). Exports PULSE_SERVER and PIPEWIRE_RUNTIME_DIR, adds the servers'
# processes to the caller's `pids`, and sets the caller's `tool_env` (what the tool runs with)
# and `display`.
#   start_bench_servers SERVER DIR
start_bench_servers() {
  local server=$1 dir=$2
  (
    if [ "$server" = pulseaudio ]; then start_sound "$dir"; else start_pipewire "$dir"; fi
    echo "export PULSE_SERVER=$PULSE_SERVER PIPEWIRE_RUNTIME_DIR=${PIPEWIRE_RUNTIME_DIR:-$dir/no-pipewire}"
    echo "sound_pids=(${sound[*]})"
  ) >"$dir/env.sh"
  source "$dir/env.sh"
  pids+=("${sound_pids[@]}")
  tool_env=()
  [ "$server" = pipewire-pulse ] && tool_env=(PIPEWIRE_RUNTIME_DIR="$dir/no-pipewire")
  display=:$((200 + RANDOM % 300))
  Xvfb "$display" -screen 0 640x480x24 -nolisten tcp 2>/dev/null &
  pids+=($!)
  sleep 0.5
}
