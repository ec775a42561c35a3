#!/usr/bin/python3
"""This file contains the writer of the performance note: from the folder that
scripts/bench.sh fills (one Google Benchmark JSON file per benchmark program
and machine.json), it writes DOCS/performance.md with its tables and
DOCS/report-time.png, the status report's time against the number of present
channels. Every figure in the note comes from that folder; medians over the
repetitions, with the fastest and slowest repetition where a spread matters.

usage: performance-report.py RESULTS-FOLDER DOCS-FOLDER
"""
import json
import os
import statistics
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

UNIT_SECONDS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
REGIMES = {1: "client and agent on one CPU", 2: "client and agent on two CPUs"}


def load(folder, name):
    """The benchmark file of one program, or None when it did not run."""
    path = os.path.join(folder, name + ".json")
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def runs(result):
    """{(family, (arg, value), ...): [run, ...]}: the repetitions of every
    benchmark, each run a dict of its counters plus real_ms and cpu_ms."""
    found = {}
    for b in (result or {}).get("benchmarks", []):
        if b.get("run_type") == "aggregate" or b.get("error_occurred"):
            continue
        parts = b["run_name"].split("/")
        args = tuple((k, int(v)) for k, _, v in (p.partition(":") for p in parts[1:]) if v.lstrip("-").isdigit())
        scale = UNIT_SECONDS[b["time_unit"]] * 1e3
        run = {k: v for k, v in b.items() if isinstance(v, (int, float))}
        run["real_ms"] = b["real_time"] * scale
        run["cpu_ms"] = b["cpu_time"] * scale
        found.setdefault((parts[0],) + args, []).append(run)
    return found


def median(found, key, field):
    values = [r[field] for r in found.get(key, []) if field in r]
    return statistics.median(values) if values else None


def spread(found, key, field):
    values = [r[field] for r in found.get(key, []) if field in r]
    return (min(values), max(values)) if values else (None, None)


def fmt(value, digits=2, suffix=""):
    return "n/a" if value is None else f"{value:,.{digits}f}{suffix}"


def ratio(a, b):
    return a / b if a is not None and b else None


def regimes_of(found, family):
    return sorted({dict(k[1:]).get("cpus") for k in found if k[0] == family} - {None})


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---:" if i else "---" for i in range(len(header))) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def machine_section(machine, results):
    load = machine.get("load", {})
    lines = [
        "## Machine and run",
        "",
        f"Run of {machine.get('date', '?')}: {machine.get('cpu', '?')}, {machine.get('cpus', '?')} CPUs, "
        f"{machine.get('memory', '?')}, {machine.get('system', '?')} ({machine.get('virtualisation', '?')}), "
        f"{machine.get('compiler', '?')}, Net-SNMP {machine.get('net_snmp', '?')}, {machine.get('build', '?')} build; "
        f"transparent huge pages `{machine.get('huge_pages', '?')}`. Every benchmark ran "
        f"{machine.get('repetitions', '?')} repetitions of at least {machine.get('min_time', '?')} s, randomly "
        "interleaved; the figures are medians over the repetitions.",
        "",
        "Load average (1, 5, 15 minutes) before and after each benchmark program:",
        "",
        table(["program", "before", "after"], [[f"`{name}`", v["before"], v["after"]] for name, v in load.items()]),
    ]
    return "\n".join(lines)


def report_section(found, docs):
    fig, ax = plt.subplots(figsize=(7, 4.5))
    lines = [
        "## Channel status report (`bench/commands/commands_bench`)",
        "",
        "`GetStatus`, from the application's own source, against the same gets as bare Net-SNMP synchronous "
        "exchanges on the same session, on simulated crates (model frozen, no request log) with 0 to 32 of the "
        "32 candidate channels present; the exchanges of one pass are counted apart on a simulator with a "
        "request log. Wall time per report:",
    ]
    for cpus in regimes_of(found, "StatusReport"):
        rows = []
        for present in sorted({dict(k[1:])["present"] for k in found if k[0] == "StatusReport"}):
            key = lambda f: (f, ("present", present), ("cpus", cpus))  # noqa: E731
            report, bare = median(found, key("StatusReport"), "real_ms"), median(found, key("BareGets"), "real_ms")
            rows.append([present, fmt(median(found, key("StatusReport"), "exchanges"), 0),
                         fmt(median(found, key("BareGets"), "exchanges"), 0), fmt(report, 2, " ms"),
                         fmt(bare, 2, " ms"), fmt(ratio(report, bare), 2)])
        lines += ["", f"{REGIMES[cpus]} (`cpus:{cpus}`):", "",
                  table(["present channels", "exchanges (report)", "exchanges (bare)", "report", "bare gets",
                         "report / bare"], rows)]
        spawn_key = ("SpawnedSnmpget", ("present", 32), ("cpus", cpus))
        spawned = median(found, spawn_key, "real_ms")
        report32 = median(found, ("StatusReport", ("present", 32), ("cpus", cpus)), "real_ms")
        if spawned is not None:
            low, high = spread(found, spawn_key, "real_ms")
            lines += ["", f"Spawning `snmpget` once per value for 32 present channels: {fmt(spawned, 0, ' ms')} "
                          f"({fmt(low, 0)} to {fmt(high, 0)} ms), {fmt(ratio(spawned, report32), 0)} times the "
                          "report."]
        for family, label in (("StatusReport", "status report"), ("BareGets", "bare gets")):
            points = sorted((dict(k[1:])["present"], v) for k, v in found.items()
                            if k[0] == family and dict(k[1:]).get("cpus") == cpus)
            if points:
                x = [p for p, _ in points]
                mid = [statistics.median(r["real_ms"] for r in v) for _, v in points]
                low = [m - min(r["real_ms"] for r in v) for m, (_, v) in zip(mid, points)]
                high = [max(r["real_ms"] for r in v) - m for m, (_, v) in zip(mid, points)]
                ax.errorbar(x, mid, yerr=[low, high], marker="o", capsize=3, label=f"{label}, cpus:{cpus}")
    ax.set_xlabel("present channels (of the 32 candidates)")
    ax.set_ylabel("wall time per report [ms]\n(median, bars: fastest to slowest repetition)")
    ax.set_title("Channel status report, simulated crate on loopback")
    ax.set_xlim(left=0)
    ax.set_ylim(bottom=0)
    ax.grid(True, alpha=0.3)
    ax.legend(loc="upper left", fontsize=8)
    fig.tight_layout()
    fig.savefig(os.path.join(docs, "report-time.png"), dpi=110)
    lines += ["", "![report time against present channels](report-time.png)"]
    return "\n".join(lines)


def transfers_section(found):
    rows = []
    for cpus in regimes_of(found, "BM_getOutputVoltage"):
        key = lambda f: (f, ("cpus", cpus))  # noqa: E731
        accessor, bare = median(found, key("BM_getOutputVoltage"), "real_ms"), median(found, key("BM_bareNetSnmpGet"), "real_ms")
        spawned = median(found, key("BM_spawnSnmpget"), "real_ms")
        rows.append([f"`cpus:{cpus}`", fmt(accessor and accessor * 1e3, 1, " µs"), fmt(bare and bare * 1e3, 1, " µs"),
                     fmt(ratio(accessor, bare), 2), fmt(spawned, 2, " ms"), fmt(ratio(spawned, accessor), 0)])
    return "\n".join([
        "## One transfer (`bench/transfers/transfers_bench`)",
        "",
        "`getOutputVoltage` against a bare synchronous get of the same object on the same session, and a spawned "
        "`snmpget`, against a simulator with its model frozen and no request log; wall time per call:",
        "",
        table(["placement", "getOutputVoltage", "bare get", "accessor / bare", "spawned snmpget",
               "spawned / accessor"], rows),
    ])


def scripting_section(found):
    rows = []
    for delay in (0, 2):
        key = lambda f: (f, ("delay_ms", delay))  # noqa: E731
        kovo, gets = median(found, key("BM_kovoStatus"), "real_ms"), median(found, key("BM_oneGetEach"), "real_ms")
        walk = median(found, key("BM_snmpbulkwalk"), "real_ms")
        rows.append([f"{delay} ms", fmt(kovo, 1, " ms"), fmt(walk, 1, " ms"), fmt(gets, 0, " ms"),
                     fmt(ratio(kovo, walk), 2), fmt(ratio(gets, kovo), 1)])
    return "\n".join([
        "## Status from a script (`bench/scripting/scripting_bench`)",
        "",
        "`kovo --json status` (a new process each time: start-up, the 15 crate-wide objects in one get, 8 "
        "columns of the channel table in bulk) on a simulated crate of 1000 channels, against the same values "
        "read with one get each on one session in the benchmark's own process, and against Net-SNMP's tools "
        "(one `snmpbulkwalk -Cr100` per column and one `snmpget` of the crate-wide objects, numeric "
        "identifiers, no MIB loaded), with the crate holding every answer back by 0 and by 2 ms; model frozen, "
        "no request log, client and crate each on a CPU of its own. Goal: within 1.2 times the tools, at least "
        "10 times faster than one get each at 2 ms.",
        "",
        table(["answer delay", "kovo status", "snmpbulkwalk and snmpget", "one get each",
               "kovo / tools", "one get each / kovo"], rows),
        "",
        writes_section(found),
    ])


def writes_section(found):
    """Writes of many rows: the best of the repetitions, as other work on the
    machine only ever slows a run down."""
    best = lambda family, delay, field="real_ms": spread(found, (family, ("delay_ms", delay)), field)[0]  # noqa: E731
    writes, waits = [], []
    for delay in (0, 2):
        kovo, tools, each = best("BM_kovoSet", delay), best("BM_snmpset50", delay), best("BM_oneSetEach", delay)
        writes.append([f"{delay} ms", fmt(kovo, 1, " ms"), fmt(tools, 1, " ms"), fmt(each, 0, " ms"),
                       fmt(ratio(kovo, tools), 2), fmt(ratio(each, kovo), 1)])
        wait, ramp = best("BM_kovoSetAndWait", delay), best("BM_kovoSetAndWait", delay, "ramp_ms")
        waits.append([f"{delay} ms", fmt(wait, 1, " ms"), fmt(ramp, 0, " ms"), fmt(kovo, 1, " ms"),
                      fmt(wait - ramp if wait is not None and ramp is not None else None, 1, " ms"),
                      fmt(wait - ramp - kovo if None not in (wait, ramp, kovo) else None, 1, " ms")])
    return "\n".join([
        "Writes from a script: `kovo set 0-999 outputVoltage 12` (a new process each time: start-up, the "
        "selection in one bulk read, the 1000 limits in GETs of as many variables as fit, the writes in SET "
        "requests of as many as fit a 1,400-byte datagram, 48 voltages) on the same crate, against `snmpset` "
        "with 50 values per request (20 processes, numeric identifiers, no MIB loaded) and against one set per "
        "channel (`kovoSet` per channel on one session in the benchmark's own process: a limit read and a set "
        "each; kovo wrote one channel at a time before, reading each limit twice). Goal: no slower than 1.2 "
        "times `snmpset` at 2 ms. Best of the repetitions, as other work on the machine only slows a run down.",
        "",
        table(["answer delay", "kovo set", "snmpset, 50 per request", "one set per channel",
               "kovo / snmpset", "one set per channel / kovo"], writes),
        "",
        "`kovo set 0-999 outputVoltage V --wait` on a crate of 1000 channels that are on and ramp at 10 V/s "
        "(model live), each time a step of 2 V up or down, against the ramp itself (its 200 ms at the crate's "
        "rate): what the wait takes beyond the ramp, and beyond the ramp and the same set without waiting "
        "(the readings before the writes and while the channels ramp, one every 0.1 s, and the last one). Best "
        "of the repetitions.",
        "",
        table(["answer delay", "kovo set --wait", "ramp", "kovo set", "beyond the ramp",
               "beyond the ramp and the set"], waits),
    ])


def sim_section(found):
    rows = []
    for cpus in regimes_of(found, "CrateSimAgainstSnmpd"):
        key = ("CrateSimAgainstSnmpd", ("cpus", cpus))
        for crate, label in (("built_in", "built-in (24)"), ("full", "1000, all ramping")):
            low, high = spread(found, key, crate + "_ratio")
            rows.append([f"`cpus:{cpus}`", label, fmt(median(found, key, crate + "_per_second"), 0),
                         fmt(median(found, key, "snmpd_per_second"), 0),
                         f"{fmt(median(found, key, crate + '_ratio'))} ({fmt(low)} to {fmt(high)})",
                         fmt(median(found, key, crate + "_cpu_us_per_request"), 1),
                         fmt(median(found, key, "full_vs_built_in")) if crate == "full" else ""])
    return "\n".join([
        "## Simulated crate against snmpd (`bench/sim/bench_sim`)",
        "",
        "Requests answered per second, one client, one variable per synchronous get, in alternating bursts of "
        "100 against crate-sim with the built-in crate, crate-sim with 1000 channels ramping on the live model, "
        "and Debian's `snmpd` answering `sysDescr.0`, all in the same run; crate-sim's gets go round the sense "
        "voltages of all its channels. Target: at least 0.9 of snmpd's rate, and the 1000-channel rate within "
        "10 % of the built-in crate's. The CPU time per request is read from `/proc` in clock ticks.",
        "",
        table(["placement", "channels", "crate-sim requests/s", "snmpd requests/s",
               "crate-sim / snmpd (median, spread)", "crate-sim CPU µs/request", "1000 / built-in"], rows),
    ])


def monitoring_section(found):
    scrape, gets = ("BM_exporterScrape",), ("BM_libraryGets",)
    scrape_ms, gets_ms = median(found, scrape, "real_ms"), median(found, gets, "real_ms")
    rows = [["one scrape through the SNMP exporter (GETBULK walks)", fmt(median(found, scrape, "samples"), 0),
             fmt(scrape_ms, 0, " ms"), "{} to {} ms".format(*(fmt(v, 0) for v in spread(found, scrape, "real_ms")))],
            ["the library, one get per value", fmt(median(found, gets, "gets"), 0), fmt(gets_ms, 0, " ms"),
             "{} to {} ms".format(*(fmt(v, 0) for v in spread(found, gets, "real_ms")))]]
    fleet = next((k for k in found if k[0] == "BM_fleet"), ("BM_fleet",))   # its name carries iterations and repeats
    crates, longest = median(found, fleet, "crates"), median(found, fleet, "longest_scrape_s")
    failed, failed_longest = median(found, fleet, "failed_at_crates"), median(found, fleet, "failed_longest_scrape_s")
    beyond = ("no larger fleet was tried" if not failed else
              f"with {fmt(failed, 0)} crates a scrape took {fmt(failed_longest, 1)} s or did not come back"
              if failed_longest and failed_longest >= 0 else
              f"with {fmt(failed, 0)} crates some scrapes failed")
    return "\n".join([
        "## Monitoring (`bench/monitoring/monitoring_bench`)",
        "",
        "The 1000-channel crate of `monitoring/crates/hall-1000.toml` (live model, no request log), read "
        "whole: by Debian's SNMP exporter with the module `crate` (`monitoring/snmp.yml`), and by the "
        "library with one synchronous get of each value the module reads, in the same run (the exporter's "
        "samples are fewer than the values: the channel names are labels). Wall time per reading of the "
        "crate:",
        "",
        table(["reading", "values", "median", "repetitions"], rows),
        "",
        f"The exporter reads the crate {fmt(ratio(gets_ms, scrape_ms), 1)} times as fast as the library's one "
        "get per value.",
        "",
        "Fleet: 1000-channel crate-sims on this machine, scraped every 10 s by one exporter and one Prometheus "
        "(all on the same 2 CPUs), the fleet doubled from 4 crates until a step failed, then the gap halved "
        "down to 4 crates; a step is kept when, over 3 intervals after every crate was up, every scrape came "
        "back within the interval. One exporter and one Prometheus kept "
        f"**{fmt(crates, 0)} crates** scraped (longest scrape {fmt(longest, 1)} s); {beyond}. The crates "
        "themselves ran on the same CPUs: with real crates, the exporter and Prometheus have them to "
        "themselves.",
    ])


def startup_section(found):
    rows = []
    for huge in (1, 0):
        key = ("SnmpInitAgainstBareLoop", ("huge_pages", huge))
        if key not in found:
            continue
        low, high = spread(found, key, "ratio")
        rows.append(["on (`madvise`)" if huge else "off (for the process)",
                     fmt(median(found, key, "real_ms")), fmt(median(found, key, "bare_ms")),
                     f"{fmt(median(found, key, 'ratio'))} ({fmt(low)} to {fmt(high)})",
                     fmt(median(found, key, "cpu_ratio")),
                     f"{fmt(median(found, key, 'snmpinit_minor_faults'), 0)} / {fmt(median(found, key, 'bare_minor_faults'), 0)}",
                     f"{fmt(median(found, key, 'snmpinit_max_rss_mib'), 1)} / {fmt(median(found, key, 'bare_max_rss_mib'), 1)}"])
    return "\n".join([
        "## Library start-up (`bench/library/startup_bench`)",
        "",
        "`SnmpInit` against the bare work it stands on (`init_snmp`, `read_module` and the same 20,049 `get_node` "
        "calls into one buffer), the two alternately, each run a fresh process, all on one CPU; each child "
        "times its own work and counts its minor page faults and its peak resident memory. Target: at most "
        "1.3 times the bare work.",
        "",
        table(["huge pages", "SnmpInit [ms]", "bare [ms]", "wall ratio (median, spread)", "CPU-time ratio",
               "minor faults (SnmpInit / bare)", "peak resident MiB (SnmpInit / bare)"], rows),
    ])


def app_section(app, gui):
    rows = []
    for found, family, label in ((app, "StartToPanelShown", "console front end, start to panel shown "
                                  "(`app/app_startup_bench`)"),
                                 (gui, "consoleShown", "console front end on a terminal (`gui/gui_startup_bench`)"),
                                 (gui, "windowShown", "window exposed on Xvfb (`gui/gui_startup_bench`)")):
        for cpus in regimes_of(found, family):
            key = (family, ("cpus", cpus))
            low, high = spread(found, key, "real_ms")
            rows.append([label, f"`cpus:{cpus}`", fmt(median(found, key, "real_ms"), 1, " ms"),
                         f"{fmt(low, 1)} to {fmt(high, 1)} ms"])
    return "\n".join([
        "## Program start-up",
        "",
        "The panel program against a simulated crate on its compiled-in address, from the process's start; "
        "program and simulator pinned (the X server is not).",
        "",
        table(["what", "placement", "median", "repetitions"], rows),
    ])


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: performance-report.py RESULTS-FOLDER DOCS-FOLDER")
    folder, docs = argv[1], argv[2]
    with open(os.path.join(folder, "machine.json")) as f:
        machine = json.load(f)
    results = {name: runs(load(folder, name)) for name in
               ("commands", "transfers", "scripting", "sim", "monitoring", "startup", "app_startup", "gui_startup")}
    note = "\n\n".join([
        "# Performance",
        "This file is written by `scripts/performance-report.py` from a run of `scripts/bench.sh`; every figure "
        "in it comes from that run. To take the figures anew and rewrite this file:\n\n"
        "    scripts/bench.sh --docs RESULTS-FOLDER\n\n"
        "The benchmarks of a client and an agent run pinned with `sched_setaffinity`, in two placements that "
        "differ by several times on a virtual machine: client and agent on one CPU (`cpus:1`), and each on a "
        "CPU of its own (`cpus:2`). Times are wall times.",
        machine_section(machine, results),
        report_section(results["commands"], docs),
        transfers_section(results["transfers"]),
        scripting_section(results["scripting"]),
        sim_section(results["sim"]),
        monitoring_section(results["monitoring"]),
        startup_section(results["startup"]),
        app_section(results["app_startup"], results["gui_startup"]),
    ])
    with open(os.path.join(docs, "performance.md"), "w") as f:
        f.write(note + "\n")


if __name__ == "__main__":
    main(sys.argv)
