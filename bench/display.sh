# Sourced by the benchmark scripts: a private 1920x1080 Xvfb with the project's test X client
# on it. The caller sets $lumatap and $xclient first, and calls stop_display when it is done
# (from its exit trap).
#   start_display     exports DISPLAY; $xvfb is the server's process id
#   ask REQUEST       sends one request to the test X client and prints its answer
#   first_display     the id of the first display that `lumatap list` shows

start_display() {
    local n=$((200 + $$ % 300))
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    export DISPLAY=:$n
    Xvfb "$DISPLAY" -screen 0 1920x1080x24 -nolisten tcp +extension RANDR >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 200); do
        [ -S "/tmp/.X11-unix/X$n" ] && break
        sleep 0.05
    done
    coproc client { "$xclient"; }
}

ask() {
    local answer
    echo "$*" >&"${client[1]}"
    read -r answer <&"${client[0]}"
    echo "$answer"
}

first_display() {
    "$lumatap" list | python3 -c 'import json, sys; print(json.load(sys.stdin)["displays"][0]["id"])'
}

stop_display() {
    kill "${client_PID:-}" "${xvfb:-}" 2>/dev/null || true
    wait 2>/dev/null || true
}
