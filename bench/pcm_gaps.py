#!/usr/bin/env python3
"""Finds the gaps in a recording of one steady sine tone: raw interleaved stereo s16le PCM.

    pcm_gaps.py FILE FREQUENCY AMPLITUDE [RATE]

AMPLITUDE is the tone's peak as a fraction of full scale. Looks at the left channel:
- a discontinuity is a sample that the sine's recurrence (x[n] = 2 cos w x[n-1] - x[n-2])
  does not predict within 1 % of the tone's peak: a cut, an inserted block, a click;
- a hole is a run of 5 ms blocks whose RMS is below a tenth of the tone's;
- a level dip is a second whose RMS is more than 0.5 dB below the tone's.
Events closer than 50 ms count as one. Prints one line per second that has any, then a summary;
exits 0 either way. Python's standard library only.
"""
import array
import math
import sys


def main():
    path, frequency, amplitude = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
    rate = int(sys.argv[4]) if len(sys.argv) > 4 else 48000
    samples = array.array("h")
    with open(path, "rb") as f:
        data = f.read()
    samples.frombytes(data[: len(data) // 4 * 4])
    if sys.byteorder != "little":
        samples.byteswap()
    left = samples[0::2]
    n = len(left)
    peak = amplitude * 32767
    expected_rms = peak / math.sqrt(2)
    c = 2 * math.cos(2 * math.pi * frequency / rate)
    limit = 0.01 * peak + 4  # plus the truncation to 16 bits

    jumps = []
    for k in range(2, n):
        if abs(left[k] - (c * left[k - 1] - left[k - 2])) > limit:
            jumps.append(k)

    block = rate // 200
    holes = []  # (start, frames)
    start = None
    for b in range(n // block):
        part = left[b * block : (b + 1) * block]
        quiet = math.sqrt(sum(x * x for x in part) / block) < 0.1 * expected_rms
        if quiet and start is None:
            start = b * block
        elif not quiet and start is not None:
            holes.append((start, b * block - start))
            start = None
    if start is not None:
        holes.append((start, n // block * block - start))

    def merge(positions):
        events = []
        for p in positions:
            if events and p - events[-1][1] < rate // 20:
                events[-1][1] = p
            else:
                events.append([p, p])
        return events

    cuts = merge(jumps)
    seconds = n // rate
    levels = []
    for s in range(seconds):
        part = left[s * rate : (s + 1) * rate]
        rms = math.sqrt(sum(x * x for x in part) / rate)
        levels.append(20 * math.log10(max(rms, 1e-9) / expected_rms))

    per_second = {}
    for a, _ in cuts:
        per_second.setdefault(a // rate, []).append(f"discontinuity at {a / rate:.3f} s")
    for a, frames in holes:
        per_second.setdefault(a // rate, []).append(
            f"hole at {a / rate:.3f} s, {1000 * frames / rate:.0f} ms")
    dips = [s for s, level in enumerate(levels) if level < -0.5]
    for s in dips:
        per_second.setdefault(s, []).append(f"level {levels[s]:+.1f} dB")
    for s in sorted(per_second):
        print(f"  second {s:3d}: " + "; ".join(per_second[s]))
    lowest = min(levels) if levels else float("nan")
    print(f"  {n / rate:.2f} s: {len(cuts)} discontinuities, {len(holes)} holes "
          f"({1000 * sum(f for _, f in holes) / rate:.0f} ms), {len(dips)} seconds with a dip, "
          f"lowest second {lowest:+.2f} dB")


if __name__ == "__main__":
    main()
