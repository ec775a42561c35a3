#!/usr/bin/python3
"""This file contains the plot of the channel status report's time against the
number of present channels, from the JSON that bench/commands writes
(commands_bench --benchmark_out=FILE.json --benchmark_out_format=json); with
repetitions, the medians are drawn. It also prints the report's time at 32
present channels against the bare gets and the spawned snmpget.

usage: plot-report-time.py BENCHMARK.json OUTPUT.png
"""
import json
import statistics
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

# Benchmark families drawn, with their legend text.
SERIES = [
    ("StatusReport", "status report (GetStatus)"),
    ("BareGets", "bare Net-SNMP synchronous gets of the same values"),
]
UNIT_SECONDS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def runs(benchmarks):
    """{(family, present): (median, lowest, highest milliseconds, exchanges)}
    over the repetitions of each benchmark (one run gives all three alike)."""
    times, exchanges = {}, {}
    for b in benchmarks:
        if b.get("run_type") == "aggregate" or b.get("error_occurred"):
            continue
        key = (b["run_name"].split("/")[0], int(b["present"]))
        times.setdefault(key, []).append(b["real_time"] * UNIT_SECONDS[b["time_unit"]] * 1e3)
        exchanges[key] = b["exchanges"]
    return {key: (statistics.median(t), min(t), max(t), exchanges[key]) for key, t in times.items()}


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: plot-report-time.py BENCHMARK.json OUTPUT.png")
    with open(argv[1]) as f:
        run = json.load(f)
    found = runs(run["benchmarks"])

    fig, ax = plt.subplots(figsize=(7, 4.5))
    for family, label in SERIES:
        points = sorted((n, v) for (f, n), v in found.items() if f == family)
        if points:
            x = [n for n, _ in points]
            median = [v[0] for _, v in points]
            spread = [[v[0] - v[1] for _, v in points], [v[2] - v[0] for _, v in points]]
            ax.errorbar(x, median, yerr=spread, marker="o", capsize=3, label=label)
    ax.set_xlabel("present channels (of the 32 candidates)")
    ax.set_ylabel("wall time per report [ms]\n(median, bars: fastest to slowest repetition)")
    ax.set_title("Channel status report, simulated crate on loopback")
    ax.set_xlim(left=0)
    ax.set_ylim(bottom=0)
    ax.grid(True, alpha=0.3)
    ax.legend(loc="upper left")
    ctx = run.get("context", {})
    fig.text(0.01, 0.01, f"{ctx.get('num_cpus', '?')} CPUs at {ctx.get('mhz_per_cpu', '?')} MHz, {ctx.get('date', '')}",
             fontsize=7, color="gray")
    fig.tight_layout()
    fig.savefig(argv[2], dpi=110)

    report, bare, spawned = (found.get((f, 32)) for f in ("StatusReport", "BareGets", "SpawnedSnmpget"))
    for name, value in (("status report", report), ("bare gets", bare), ("spawned snmpget", spawned)):
        if value:
            print(f"{name:16s} 32 present: median {value[0]:8.2f} ms (from {value[1]:.2f} to {value[2]:.2f}), "
                  f"{value[3]:.0f} exchanges")
    if report and bare:
        print(f"status report / bare gets:       {report[0] / bare[0]:.3f}")
    if report and spawned:
        print(f"spawned snmpget / status report: {spawned[0] / report[0]:.1f}")


if __name__ == "__main__":
    main(sys.argv)
