# Sourced by the benchmark scripts: a private PulseAudio daemon whose only output is a null
# sink, with everything it keeps in the folder given.
#   start_sound DIR   starts it, exports PULSE_SERVER and PULSE_COOKIE, and waits until it
#                     answers; $sound is its process id

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
