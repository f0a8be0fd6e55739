#!/usr/bin/env python3
"""Glass-to-pipe latency of a command that writes raw NV12 frames of a display to stdout.

A window at the screen's top-left corner is flipped between black and white after a quiet
spell; the time from the X server having drawn the flip (the test X client answers after a
round trip) to the first frame read from the command's stdout that shows it is one sample.
Prints the median in milliseconds.

    latency.py XCLIENT LUMATAP WIDTH HEIGHT SCREEN_WIDTH SCREEN_HEIGHT SAMPLES -- COMMAND...

"{display}" in COMMAND is replaced by the id of the first display, as listed once the window
is up (an id may change as windows come and go).
"""
import json
import os
import random
import statistics
import subprocess
import sys
import threading
import time


def main():
    split = sys.argv.index("--")
    xclient, lumatap, width, height, screen_width, screen_height, samples = sys.argv[1:split]
    command = sys.argv[split + 1:]
    width, height, samples = int(width), int(height), int(samples)
    screen_width, screen_height = int(screen_width), int(screen_height)
    frame = width * height * 3 // 2
    client = subprocess.Popen([xclient], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def ask(line):
        client.stdin.write(line + "\n")
        client.stdin.flush()
        return client.stdout.readline().strip()

    # A quarter of the screen each way, so that it covers the probe at any scale.
    window = ask(f"window 0 0 {screen_width // 4} {screen_height // 4} 000000")
    listed = json.loads(subprocess.run([lumatap, "list"], capture_output=True, text=True).stdout)
    display = str(listed["displays"][0]["id"])
    command = [part.replace("{display}", display) for part in command]
    stream = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    # The probe: the luma of the output pixel at the centre of the window's picture.
    probe = (height // 8) * width + width // 8
    lock = threading.Condition()
    state = {"white": None, "seen": None, "want": None}

    def reader():
        pipe = stream.stdout
        while True:
            data = pipe.read(frame)
            if not data or len(data) < frame:
                return
            now = time.monotonic()
            white = data[probe] > 128
            with lock:
                state["white"] = white
                if state["want"] is not None and white == state["want"] and state["seen"] is None:
                    state["seen"] = now
                    lock.notify_all()

    thread = threading.Thread(target=reader, daemon=True)
    thread.start()
    time.sleep(1.5)
    results = []
    white = False
    for _ in range(samples):
        # A quiet spell, of a length that no fixed tick lines up with.
        time.sleep(0.4 + random.random() * 0.3)
        white = not white
        with lock:
            state["seen"] = None
            state["want"] = white
        ask(f"color {window} {'ffffff' if white else '000000'}")
        drawn = time.monotonic()
        with lock:
            lock.wait_for(lambda: state["seen"] is not None, timeout=2)
            if state["seen"] is not None:
                results.append(max(0.0, state["seen"] - drawn) * 1000)
            state["want"] = None
    stream.kill()
    stream.wait()
    client.stdin.close()
    client.wait()
    if not results:
        print("nan")
        return
    print(f"{statistics.median(results):.1f}")


if __name__ == "__main__":
    main()
