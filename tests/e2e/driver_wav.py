#!/usr/bin/python3
"""Turns the WAV file the test ASIO driver (tests/asio_driver) writes into what analyse_tone.py
reads: one of its channels as 16-bit PCM at the same rate.

  driver_wav.py DRIVER.wav OUT.wav [--channel 0]
  driver_wav.py --self-test

The driver writes the output halves as the host left them: PCM of 16, 24 or 32 bits, or IEEE
float of 32 or 64 bits. A 16-bit stream reaches such a channel widened full scale to full scale
(x * 8388607 / 32767 or x * 2147483647 / 32767) and, for the float types, divided by 2^31 (32-bit
floats) or 2^31 - 1 (64-bit floats); the samples are brought back to 16 bits by the inverse
mapping, rounded. Prints one "key: value" line per figure: the format, the frames, the largest
distance of a scaled sample from its rounded value (how exactly the samples came back: a few
thousandths at most for audio that was 16-bit) and whether the other channels hold only silence.
"""

import argparse
import struct
import sys
import tempfile
import os
import wave

import numpy as np


def read_driver_wav(path):
    """(samples as float64 frames x channels in 16-bit units, rate, description)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise ValueError(f"{path}: not a WAV file")
    pos, fmt, body = 12, None, None
    while pos + 8 <= len(data):
        cid, size = data[pos:pos + 4], struct.unpack_from("<I", data, pos + 4)[0]
        chunk = data[pos + 8:pos + 8 + size]
        if cid == b"fmt ":
            fmt = chunk
        elif cid == b"data":
            body = chunk
        pos += 8 + size + (size & 1)
    if fmt is None or body is None:
        raise ValueError(f"{path}: no fmt or data chunk")
    tag, channels, rate, _, align, bits = struct.unpack_from("<HHIIHH", fmt, 0)
    if tag == 0xFFFE and len(fmt) >= 26:
        tag = struct.unpack_from("<H", fmt, 24)[0]  # the sub-format's first two bytes
    width = bits // 8
    frames = len(body) // align
    raw = np.frombuffer(body[:frames * align], dtype=np.uint8).reshape(frames, channels, width)
    if tag == 1 and width == 2:
        x = raw.copy().view("<i2").reshape(frames, channels).astype(np.float64)
    elif tag == 1 and width == 3:
        b = raw.astype(np.int32)
        v = b[..., 0] | (b[..., 1] << 8) | (b[..., 2] << 16)
        v = np.where(v >= 1 << 23, v - (1 << 24), v)
        x = v.astype(np.float64) * 32767.0 / 8388607.0
    elif tag == 1 and width == 4:
        x = raw.copy().view("<i4").reshape(frames, channels).astype(np.float64) * 32767.0 / 2147483647.0
    elif tag == 3 and width == 4:
        v = raw.copy().view("<f4").reshape(frames, channels).astype(np.float64)
        x = v * 2147483648.0 * 32767.0 / 2147483647.0
    elif tag == 3 and width == 8:
        x = raw.copy().view("<f8").reshape(frames, channels) * 32767.0
    else:
        raise ValueError(f"{path}: format {tag} with {bits}-bit samples")
    kind = {1: "PCM", 3: "float"}[tag]
    return x, rate, f"{kind} {bits}-bit, {channels} channel(s), {rate} Hz"


def convert(src, dst, channel):
    x, rate, what = read_driver_wav(src)
    if channel >= x.shape[1]:
        raise ValueError(f"{src}: no channel {channel} among {x.shape[1]}")
    mine = x[:, channel]
    rounded = np.clip(np.rint(mine), -32768, 32767)
    error = float(np.abs(mine - rounded).max()) if len(mine) else 0.0
    others = np.delete(x, channel, axis=1)
    with wave.open(dst, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(rounded.astype("<i2").tobytes())
    print(f"format: {what}")
    print(f"frames: {len(mine)}")
    print(f"rounding: {error:.6f}")
    print(f"other channels silent: {'yes' if not others.size or not np.any(others) else 'no'}")
    return 0


def self_test():
    """Writes the tone the way each driver type holds it and checks that it comes back exact."""
    failed = 0
    n = np.arange(4410)
    s = np.rint(16383 * np.cos(2 * np.pi * 1000 * n / 44100)).astype(np.int64)
    x32 = np.trunc(s * 2147483647 / 32767).astype(np.int64)
    x24 = np.trunc(s * 8388607 / 32767).astype(np.int64)
    cases = {
        "PCM 16": (1, 2, s.astype("<i2").tobytes()),
        "PCM 24": (1, 3, b"".join(int(v & 0xFFFFFF).to_bytes(3, "little") for v in x24)),
        "PCM 32": (1, 4, x32.astype("<i4").tobytes()),
        "float 32": (3, 4, (x32.astype(np.float32) / np.float32(2147483648.0)).astype("<f4").tobytes()),
        "float 64": (3, 8, (x32 / 2147483647.0).astype("<f8").tobytes()),
    }
    with tempfile.TemporaryDirectory(prefix="driver-wav-") as d:
        for name, (tag, width, body) in cases.items():
            src, dst = os.path.join(d, "in.wav"), os.path.join(d, "out.wav")
            fmt = struct.pack("<HHIIHH", tag, 1, 44100, 44100 * width, width, width * 8)
            with open(src, "wb") as f:
                f.write(b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(body)) + b"WAVE")
                f.write(b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(body)) + body)
            saved, sys.stdout = sys.stdout, open(os.devnull, "w")
            try:
                convert(src, dst, 0)
            finally:
                sys.stdout.close()
                sys.stdout = saved
            with wave.open(dst, "rb") as w:
                back = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.int64)
            ok = np.array_equal(back, s)
            print(f"{'PASS' if ok else 'FAIL'} driver WAV {name}: "
                  + ("every sample back exact" if ok else f"{int(np.sum(back != s))} samples differ"))
            failed += not ok
    return failed


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("driver_wav", nargs="?")
    ap.add_argument("out_wav", nargs="?")
    ap.add_argument("--channel", type=int, default=0)
    ap.add_argument("--self-test", action="store_true")
    args = ap.parse_args()
    if args.self_test:
        return 1 if self_test() else 0
    if not args.driver_wav or not args.out_wav:
        ap.error("DRIVER.wav and OUT.wav, or --self-test")
    try:
        return convert(args.driver_wav, args.out_wav, args.channel)
    except (OSError, ValueError) as e:
        print(f"error: {e}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
