#!/usr/bin/python3
"""Measures a test tone recorded from the audio server: frequency, peak level, duration and
continuity, and checks them against what was expected. Prints one "PASS name: ..." or
"FAIL name: ..." line per check and exits 1 when any check failed.

  analyse_tone.py REC.wav [--freq 1000] [--peak-dbfs -6.02] [--seconds 1.0 --seconds-tol 0.002]
  analyse_tone.py REC.wav --silence          nothing but digital silence
  analyse_tone.py --self-test                the analysis itself, on tones made with sox
  analyse_tone.py --wait-end REC.raw [--quiet 0.5] [--timeout 10]
                                             while REC.raw (s16le stereo 44.1 kHz) is being
                                             recorded: return once a sound has come and been
                                             followed by QUIET seconds of silence (exit 1: time-out)

The recording is 16-bit PCM, as the null sink's monitor delivers it: bit-exact, so silence is
exactly 0 and the tone is the stretch from its first to its last non-zero sample.

Continuity: a sampled sine obeys x[n+1] + x[n-1] = 2 cos(w) x[n]; the residual of that identity
stays at a few LSB of rounding for an unbroken tone and jumps to hundreds of LSB at any lost,
repeated or inserted stretch, except a loss of whole periods that happens to join in phase (at
1000 Hz and 44.1 kHz, any multiple of 441 frames). Only the duration shows such a loss.
"""

import argparse
import json
import math
import os
import subprocess
import sys
import tempfile
import wave

import numpy as np

FULL_SCALE = 32768.0  # dBFS of 16-bit samples


def load_wav(path):
    with wave.open(path, "rb") as w:
        if w.getsampwidth() != 2:
            raise ValueError(f"{path}: {8 * w.getsampwidth()}-bit samples, expected 16-bit")
        rate, channels = w.getframerate(), w.getnchannels()
        data = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
    return data.reshape(-1, channels).astype(np.int64), rate


def zero_crossing_frequency(x, rate):
    """Frequency from the interpolated sign changes: (crossings - 1) / 2 periods between the first
    and the last one."""
    s = np.signbit(x)
    idx = np.nonzero(s[1:] != s[:-1])[0]
    if len(idx) < 3:
        return None
    a, b = x[idx].astype(float), x[idx + 1].astype(float)
    t = idx + a / (a - b)
    return (len(t) - 1) / 2.0 / ((t[-1] - t[0]) / rate)


def fft_peak_frequency(x, rate):
    n = 1 << int(math.ceil(math.log2(max(len(x), 2) * 4)))
    spec = np.abs(np.fft.rfft(x * np.hanning(len(x)), n))
    k = int(np.argmax(spec[1:-1])) + 1
    a, b, c = np.log(spec[k - 1:k + 2] + 1e-12)
    shift = 0.5 * (a - c) / (a - 2 * b + c) if (a - 2 * b + c) != 0 else 0.0
    return (k + shift) * rate / n


def measure(samples, rate):
    """The figures of the tone in `samples` (frames x channels); None when there is no tone."""
    mono = samples[:, 0]
    nz = np.nonzero(samples.any(axis=1))[0]
    m = {
        "rate": rate,
        "channels": samples.shape[1],
        "recorded_frames": int(len(samples)),
        "peak_all": int(np.abs(samples).max()) if len(samples) else 0,
    }
    if len(nz) == 0:
        return m
    first, last = int(nz[0]), int(nz[-1])
    seg = mono[first:last + 1]
    m.update({
        "first_frame": first,
        "last_frame": last,
        "frames": last - first + 1,
        "seconds": (last - first + 1) / rate,
        "peak": int(np.abs(seg).max()),
        "peak_dbfs": 20 * math.log10(np.abs(seg).max() / FULL_SCALE),
        "channels_differ": int(np.abs(samples[first:last + 1] - samples[first:last + 1, :1]).max()),
        "frequency": zero_crossing_frequency(seg, rate),
        "frequency_fft": fft_peak_frequency(seg.astype(float), rate) if len(seg) > 8 else None,
    })
    f = m["frequency"]
    if f and len(seg) > 4:
        c = 2.0 * math.cos(2 * math.pi * f / rate)
        x = seg.astype(float)
        r = np.abs(x[2:] - c * x[1:-1] + x[:-2])
        # The first and last frames are left to the duration: a generator may ring or fade there.
        r[:EDGE_FRAMES] = 0
        r[len(r) - EDGE_FRAMES:] = 0
        worst = int(np.argmax(r))
        m["continuity_residual"] = float(r[worst])
        m["continuity_worst_frame"] = first + 1 + worst
        # Separate breaks: residual above the limit, more than a period apart.
        bad = np.nonzero(r > CONTINUITY_LIMIT)[0]
        breaks = []
        for i in bad:
            if not breaks or i - breaks[-1][1] > rate / f:
                breaks.append([int(i), int(i)])
            else:
                breaks[-1][1] = int(i)
        m["breaks"] = [(first + 1 + a) / rate for a, _ in breaks]
    return m


CONTINUITY_LIMIT = 8.0  # LSB: rounding of the three samples adds up to 2 at most
EDGE_FRAMES = 64


class Report:
    def __init__(self, prefix):
        self.prefix = prefix
        self.failed = 0

    def check(self, ok, name, detail):
        print(f"{'PASS' if ok else 'FAIL'} {self.prefix}{name}: {detail}", flush=True)
        if not ok:
            self.failed += 1
        return ok


def check_tone(m, args, rep):
    if "frames" not in m:
        rep.check(False, "tone present", f"only silence in {m['recorded_frames']} recorded frames")
        return
    rep.check(True, "tone present",
              f"{m['frames']} frames from {m['first_frame'] / m['rate']:.3f} s of the recording")
    f = m["frequency"]
    rep.check(f is not None and abs(f - args.freq) <= args.freq_tol, "frequency",
              f"{f:.3f} Hz (FFT {m['frequency_fft']:.2f} Hz), expected {args.freq} +- {args.freq_tol} Hz"
              if f else "no zero crossings")
    rep.check(abs(m["peak_dbfs"] - args.peak_dbfs) <= args.peak_tol, "peak level",
              f"{m['peak_dbfs']:.3f} dBFS (peak sample {m['peak']}), expected {args.peak_dbfs} +- {args.peak_tol} dB")
    if args.seconds is not None:
        rep.check(abs(m["seconds"] - args.seconds) <= args.seconds_tol, "duration",
                  f"{m['seconds']:.5f} s ({m['frames']} frames), expected {args.seconds} +- {args.seconds_tol} s")
    if "continuity_residual" in m:
        rep.check(not m["breaks"], "continuity",
                  "unbroken (largest sine residual {:.1f} LSB)".format(m["continuity_residual"]) if not m["breaks"]
                  else "{} break(s), first at {:.4f} s (sine residual {:.0f} LSB, limit {:.0f})".format(
                      len(m["breaks"]), m["breaks"][0], m["continuity_residual"], CONTINUITY_LIMIT))
    if m["channels"] > 1:
        rep.check(m["channels_differ"] == 0, "channels identical",
                  "all channels carry the same samples" if m["channels_differ"] == 0
                  else f"channels differ by up to {m['channels_differ']}")


def analyse(path, args, prefix=""):
    samples, rate = load_wav(path)
    m = measure(samples, rate)
    rep = Report(prefix)
    if args.silence:
        rep.check(m["peak_all"] == 0, "silence",
                  f"{m['recorded_frames']} frames of digital silence" if m["peak_all"] == 0 else
                  f"sound from {m['first_frame'] / rate:.3f} s, peak sample {m['peak_all']}")
    else:
        check_tone(m, args, rep)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(m, f, indent=1)
    return rep.failed, m


# ---- self-test ---------------------------------------------------------------------------------

def sox(*a):
    subprocess.run(["sox", "-D", *a], check=True, stderr=subprocess.PIPE)


def self_test():
    """Runs the analysis on tones whose faults are known and checks that it finds exactly them."""
    rep = Report("analysis ")
    with tempfile.TemporaryDirectory(prefix="analyse-tone-") as d:
        p = lambda name: os.path.join(d, name)
        fmt = ["-r", "44100", "-b", "16", "-c", "2", "-e", "signed-integer"]
        sox("-n", *fmt, p("tone.wav"), "synth", "1", "sine", "1000", "gain", "-6.02")
        sox(p("tone.wav"), p("clean.wav"), "pad", "0.25", "0.25")
        # 441 frames (ten periods) taken out of the middle: joins in phase.
        sox(p("tone.wav"), p("a.wav"), "trim", "0", "22050s")
        sox(p("tone.wav"), p("b.wav"), "trim", "22491s")
        sox(p("a.wav"), p("b.wav"), p("dropped441.wav"), "pad", "0.25", "0.25")
        # 100 frames taken out: a jump in phase.
        sox(p("tone.wav"), p("c.wav"), "trim", "22150s")
        sox(p("a.wav"), p("c.wav"), p("dropped100.wav"), "pad", "0.25", "0.25")
        # 5 ms of silence in the middle, as an underrun leaves it.
        sox("-n", *fmt, p("gap.raw.wav"), "trim", "0", "220s")
        sox(p("a.wav"), p("gap.raw.wav"), p("b.wav"), p("gap.wav"), "pad", "0.25", "0.25")
        sox("-n", *fmt, p("off.raw.wav"), "synth", "1", "sine", "997", "gain", "-12")
        sox(p("off.raw.wav"), p("off.wav"), "pad", "0.25", "0.25")
        sox("-n", *fmt, p("silence.wav"), "trim", "0", "1")

        def run(name, **kw):
            a = argparse.Namespace(freq=1000.0, freq_tol=0.5, peak_dbfs=-6.02, peak_tol=0.05, seconds=1.0,
                                   seconds_tol=2 / 44100, silence=False, json=None)
            vars(a).update(kw)
            with open(os.devnull, "w") as null:
                saved, sys.stdout = sys.stdout, null
                try:
                    failed, m = analyse(p(name), a)
                finally:
                    sys.stdout = saved
            return failed, m

        failed, m = run("clean.wav")
        rep.check(failed == 0 and abs(m["frequency"] - 1000) < 0.01 and abs(m["peak_dbfs"] + 6.02) < 0.01
                  and m["frames"] == 44100 and m["first_frame"] == 11025,
                  "clean tone",
                  "{:.4f} Hz, {:.3f} dBFS, {} frames at {:.4f} s, residual {:.1f} LSB".format(
                      m["frequency"], m["peak_dbfs"], m["frames"], m["first_frame"] / 44100,
                      m["continuity_residual"]))
        failed, m = run("dropped441.wav")
        rep.check(failed == 1 and not m["breaks"] and m["frames"] == 44100 - 441,
                  "441 frames lost in phase: caught by duration alone",
                  f"{m['frames']} frames, {len(m['breaks'])} break(s), {failed} failed check(s)")
        failed, m = run("dropped100.wav")
        rep.check(failed >= 1 and len(m["breaks"]) == 1 and abs(m["breaks"][0] - 0.75) < 0.001,
                  "100 frames lost: caught by continuity",
                  f"{len(m['breaks'])} break(s) at {m['breaks']} s, residual {m['continuity_residual']:.0f} LSB")
        failed, m = run("gap.wav")
        rep.check(failed >= 1 and len(m["breaks"]) >= 1 and abs(m["breaks"][0] - 0.75) < 0.001,
                  "5 ms gap: caught by continuity",
                  f"{len(m['breaks'])} break(s) at {m['breaks']} s")
        failed, m = run("off.wav")
        rep.check(failed == 2 and abs(m["frequency"] - 997) < 0.01 and abs(m["peak_dbfs"] + 12) < 0.05,
                  "997 Hz at -12 dBFS: caught by frequency and level",
                  "{:.3f} Hz, {:.2f} dBFS".format(m["frequency"], m["peak_dbfs"]))
        failed, _ = run("silence.wav", silence=True)
        failed_tone, _ = run("clean.wav", silence=True)
        failed_missing, _ = run("silence.wav")
        rep.check(failed == 0 and failed_tone == 1 and failed_missing == 1, "silence told from a tone",
                  "silence passes the silence check, the tone fails it, and silence fails the tone checks")
    return rep.failed


def wait_end(path, quiet, timeout):
    """Follows a raw recording as it grows until a sound has been followed by `quiet` seconds of
    digital silence."""
    import time
    frame, rate = 4, 44100
    deadline = time.monotonic() + timeout
    last_sound = None
    while time.monotonic() < deadline:
        try:
            data = np.fromfile(path, dtype="<i2")
        except OSError:
            data = np.zeros(0, dtype="<i2")
        n = len(data) // 2
        nz = np.nonzero(data[:n * 2])[0]
        if len(nz):
            last_sound = nz[-1] // 2
            if n - last_sound >= quiet * rate:
                return 0
        time.sleep(0.1)
    print(f"no end of a sound within {timeout} s ({'silence only' if last_sound is None else 'still sounding'})",
          file=sys.stderr)
    return 1


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("recording", nargs="?")
    ap.add_argument("--self-test", action="store_true")
    ap.add_argument("--silence", action="store_true", help="expect digital silence only")
    ap.add_argument("--freq", type=float, default=1000.0)
    ap.add_argument("--freq-tol", type=float, default=0.5)
    ap.add_argument("--peak-dbfs", type=float, default=-6.02)
    ap.add_argument("--peak-tol", type=float, default=0.05)
    ap.add_argument("--seconds", type=float, default=None, help="expected duration of the tone")
    ap.add_argument("--seconds-tol", type=float, default=0.002)
    ap.add_argument("--prefix", default="", help="put before each check's name")
    ap.add_argument("--json", help="write the measured figures here")
    ap.add_argument("--wait-end", metavar="RAW")
    ap.add_argument("--quiet", type=float, default=0.5)
    ap.add_argument("--timeout", type=float, default=10.0)
    args = ap.parse_args()
    if args.wait_end:
        return wait_end(args.wait_end, args.quiet, args.timeout)
    if args.self_test:
        return 1 if self_test() else 0
    if not args.recording:
        ap.error("a recording or --self-test")
    failed, _ = analyse(args.recording, args, args.prefix)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
