# Sourced by the benchmark scripts: a private Xvfb ($screen_size, 1920x1080 unless set) with the project's test X client
# on it. The caller sets $lumatap and $xclient first, and calls stop_display when it is done
# (from its exit trap).
#   start_display     exports DISPLAY; $xvfb is the server's process id
#   ask REQUEST       sends one request to the test X client and prints its answer
#   first_display     the id of the first display that `lumatap list` shows

start_display() {
    # The server picks a free display itself and names it once it accepts connections: a
    # number guessed from a lock file may belong to a server that another session can see.
    local named
    named=$(mktemp -u)
    mkfifo "$named"
    Xvfb -displayfd 3 -screen 0 "${screen_size:-1920x1080}x24" -nolisten tcp +extension RANDR \
        3>"$named" >/dev/null 2>&1 &
    xvfb=$!
    local n
    read -r n <"$named"
    rm -f "$named"
    export DISPLAY=:$n
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

# Starts openbox on the private server and waits until it manages the screen; $wm is its
# process id, for the caller to stop before stop_display.
start_window_manager() {
    openbox >/dev/null 2>&1 &
    wm=$!
    for _ in $(seq 200); do
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && return
        sleep 0.05
    done
    echo "openbox did not start" >&2
    return 1
}

# Starts the test X relay ($xproxy, set by the caller) in front of the private server with the
# given options; $relay is the display it serves and $relayPid its process id.
start_relay() {
    local out
    out=$(mktemp)
    "$xproxy" "$@" "$DISPLAY" >"$out" &
    relayPid=$!
    relay=
    for _ in $(seq 200); do
        relay=$(head -n1 "$out")
        [ -n "$relay" ] && break
        sleep 0.05
    done
    rm -f "$out"
    [ -n "$relay" ] || { echo "the X relay did not start" >&2; return 1; }
}

# Stops the relay; it writes the counts of connections still open (--stats) as it ends.
stop_relay() {
    kill "$relayPid" 2>/dev/null || true
    wait "$relayPid" 2>/dev/null || true
}
