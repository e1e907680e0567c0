#!/usr/bin/env python3
"""The end-to-end run's test signal and its independent check (plain Python, no numpy).

  signal.py write RAW               writes the signal: one loop of 4096 stereo S16 frames
  signal.py loop RAW FIFO           feeds the loop into FIFO for ever, reopening it for each reader
  signal.py check RAW TABLE CORR    compares the exported table with a DFT of the signal
"""
import math
import os
import struct
import sys

RATE = 44100
N = 4096
# (bin, amplitude) per channel: whole cycles per block, so every block has the same spectrum.
TONES = [(140, 16000.0), (560, 4000.0)]


def write(path):
    frames = []
    for i in range(N):
        for k, a in TONES:
            frames.append(int(round(a * math.sin(2 * math.pi * k * i / N))))
    with open(path, "wb") as f:
        f.write(struct.pack("<%dh" % len(frames), *frames))


def loop(path, fifo):
    data = open(path, "rb").read() * 16
    while True:
        try:
            with open(fifo, "wb", buffering=0) as f:
                while True:
                    f.write(data)
        except BrokenPipeError:
            continue


def read(path):
    raw = open(path, "rb").read()
    v = struct.unpack("<%dh" % (len(raw) // 2), raw)
    return [v[0::2][:N], v[1::2][:N]]


def level(samples, k, corr):
    """dB of bin k as the analyser defines it: Blackman-Harris window over N - 1, samples
    scaled to full scale 1, magnitude over (N/2) * rms(window)."""
    a = 2 * math.pi / (N - 1)
    re = im = power = 0.0
    for i, s in enumerate(samples):
        w = (0.35875 - 0.48829 * math.cos(a * i) + 0.14128 * math.cos(2 * a * i)
             - 0.01168 * math.cos(3 * a * i))
        power += w * w
        x = s / 32768.0 * w
        re += x * math.cos(2 * math.pi * k * i / N)
        im -= x * math.sin(2 * math.pi * k * i / N)
    mag = math.hypot(re, im) / ((N / 2) * math.sqrt(power / N))
    return 20 * math.log10(mag) + corr


def check(raw, table, corr):
    left, right = read(raw)
    lines = open(table, "rb").read().decode().split("\r\n")
    header = lines[0]
    if header != "F-Axis[Hz] , Data L[dB] , Data R[dB]":
        print("unexpected header: %r" % header)
        return 1
    rows = [list(map(float, l.split(" , "))) for l in lines[1:] if l]
    if len(rows) != N // 2:
        print("expected %d rows, found %d" % (N // 2, len(rows)))
        return 1
    bad = 0
    for channel, (k, _), samples in ((1, TONES[0], left), (2, TONES[1], right)):
        want = level(samples, k, corr)
        got = rows[k][channel]
        freq = rows[k][0]
        ok = abs(got - want) <= 0.01 and abs(freq - k * RATE / N) < 1e-3
        print("%s bin %d (%.2f Hz): exported %.4f dB, computed %.4f dB, difference %.4f: %s"
              % ("LR"[channel - 1], k, freq, got, want, got - want, "ok" if ok else "WRONG"))
        bad += not ok
    # The other channel's tone must not show in this one: the channels are not swapped.
    if rows[TONES[1][0]][1] > rows[TONES[0][0]][1] - 40 or rows[TONES[0][0]][2] > rows[TONES[1][0]][2] - 40:
        print("the channels look swapped or mixed")
        bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    cmd = sys.argv[1]
    if cmd == "write":
        write(sys.argv[2])
    elif cmd == "loop":
        loop(sys.argv[2], sys.argv[3])
    elif cmd == "check":
        sys.exit(check(sys.argv[2], sys.argv[3], float(sys.argv[4])))
    else:
        sys.exit("usage: signal.py write|loop|check ...")
