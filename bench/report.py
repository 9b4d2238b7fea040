#!/usr/bin/env python3
"""Turns the benchmark program's JSON output into the table of bench/README.md: one line per
measured case with its figure, its goal and whether the goal is met."""
import json
import sys

ASIO_NAMES = {16: "Int16LSB", 0: "Int16MSB", 17: "Int24LSB", 1: "Int24MSB", 18: "Int32LSB", 2: "Int32MSB",
              24: "Int32LSB16", 25: "Int32LSB18", 26: "Int32LSB20", 27: "Int32LSB24",
              8: "Int32MSB16", 9: "Int32MSB18", 10: "Int32MSB20", 11: "Int32MSB24",
              19: "Float32LSB", 3: "Float32MSB", 20: "Float64LSB", 4: "Float64MSB"}


def asio_goal(t):
    if t in (3, 19):
        return 3.0, "float32"
    if t in (4, 20):
        return 8.0, "float64"
    if t in (1, 17):
        return 6.0, "24-bit packed"
    if t in (0, 2, 8, 9, 10, 11):
        return 2.0, "byte reversal"
    return 2.0, "integer copy"


def args(name):
    """The numeric arguments at the end of a run name (name/a/b/c or name/x:a/y:b)."""
    out = []
    parts = [p for p in name.split("/") if not p.split(":")[0] in ("min_time", "iterations", "real_time", "repeats", "threads")]
    for part in reversed(parts):
        value = part.split(":")[-1]
        if not value.lstrip("-").isdigit():
            break
        out.append(int(value))
    return out[::-1]


def load(path):
    with open(path) as f:
        data = json.load(f)
    rows = {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = b.get("run_name", b["name"])
        if b.get("run_type") == "aggregate" or name not in rows:
            rows[name] = b
    return data.get("context", {}), rows


def main():
    context, rows = load(sys.argv[1])
    out = []

    def line(what, figure, goal, ok):
        out.append(f"| {what} | {figure} | {goal} | {'met' if ok else 'NOT MET'} |")

    for name, b in rows.items():
        if name.startswith("lock_uncontended"):
            line("property lock: uncontended write section vs std::mutex", f"{b['ratio']:.2f}x ({b['ns']:.1f} ns vs {b['base_ns']:.1f} ns)", "<= 1.5x", b["ratio"] <= 1.5)
        elif name.startswith("lock_reentry"):
            line("property lock: re-entry while held vs std::mutex", f"{b['ratio']:.2f}x ({b['ns']:.1f} ns vs {b['base_ns']:.1f} ns)", "<= 0.5x", b["ratio"] <= 0.5)
        elif name.startswith("pool_8k"):
            line("buffer pool: 8 KiB allocate + release vs malloc/free", f"{b['ratio']:.2f}x ({b['ns']:.1f} ns vs {b['base_ns']:.1f} ns)", "<= 0.5x", b["ratio"] <= 0.5)
        elif name.startswith("path_generator"):
            line("generator -> pins -> sink: heap allocations per buffer", f"{b['allocs_per_buffer']:.3f} ({b['real_time']:.2f} us per buffer)", "0", b["allocs_per_buffer"] == 0)
        elif name.startswith("copy_same_width_channel"):
            bits = args(name)[-1] * 8
            line(f"same-width channel copy, {bits}-bit, per sample vs memcpy", f"{b['ratio']:.2f}x ({b['per_unit_ns']:.3f} ns/sample)", "<= 2x", b["ratio"] <= 2)
        elif name.startswith("copy_frames"):
            label = b.get("label", name)
            line(f"frame copy {label}, per frame vs memcpy", f"{b['ratio']:.2f}x ({b['per_unit_ns']:.3f} ns/frame)", "<= 12x", b["ratio"] <= 12)
        elif name.startswith("tone_block"):
            faster = 1 / b["ratio"] if b["ratio"] else 0
            line("tone block 1024x2 16-bit vs per-sample cos", f"{faster:.1f}x faster, {b['per_unit_ns']:.3f} ns/frame", ">= 10x faster, <= 1 ns/frame", faster >= 10 and b["per_unit_ns"] <= 1)
        elif name.startswith("asio_convert"):
            t, frames, inp = args(name)[-3:]
            goal, family = asio_goal(t)
            line(f"ASIO {ASIO_NAMES.get(t, t)} {'in' if inp else 'out'} {frames} samples ({family}) vs memcpy of output", f"{b['ratio']:.2f}x ({b['per_unit_ns']:.3f} ns/sample)", f"<= {goal:g}x", b["ratio"] <= goal)
        elif name.startswith("master_clock"):
            ok = abs(b["mean_error_pct"]) <= 0.1 and abs(b["drift_ms"]) <= 1.0 and b["p99_late_ms"] <= 1.0
            line("master clock, 5 s, one 23.22 ms clock", f"mean {b['mean_period_ms']:.3f} ms ({b['mean_error_pct']:+.3f}%), drift {b['drift_ms']:+.2f} ms, p99 late {b['p99_late_ms']:.2f} ms", "mean within 0.1%, no drift, p99 <= 1 ms", ok)
        elif name.startswith("delay_1000ms"):
            line("Delay_ms(1000, true): CPU / wall", f"{b['cpu_share_pct']:.3f}%", "< 2%", b["cpu_share_pct"] < 2)
    print(f"Machine: {context.get('num_cpus', '?')} CPUs at {context.get('mhz_per_cpu', '?')} MHz, {context.get('host_name', '')}, library build {context.get('library_build_type', '?')}")
    print()
    print("| Hot path | Figure (median of interleaved repetitions) | Goal | |")
    print("|---|---|---|---|")
    print("\n".join(out))


if __name__ == "__main__":
    main()
