#!/usr/bin/env python3
"""Prints the core's figures against their targets as markdown tables.

    bench_table.py CORE_JSON LIST_TXT

CORE_JSON is tarnwick_bench's --benchmark_out (with repetitions: medians are used); LIST_TXT holds
the lines scripts/bench.sh writes for `tarnwick list` ("NAME SECONDS PEAK_KB").
"""
import json
import sys

PATHS = ["authorized", "removed", "pending", "challenged", "bounce"]
SIZES = [10, 10_000, 1_000_000]
LIST_RATIO_TARGET = 1.5


def medians(path):
    with open(path, encoding="utf-8") as source:
        report = json.load(source)
    figures = {}
    for run in report["benchmarks"]:
        if run.get("error_occurred"):
            sys.exit(f"bench_table: {run['name']} failed: {run.get('error_message', '')}")
        name = run.get("run_name", run["name"])
        if run.get("run_type") == "aggregate" and run.get("aggregate_name") != "median":
            continue
        figures[name] = run
    return figures


def pick(figures, name):
    """The run of benchmark `name`, whatever options Google Benchmark appended ("/real_time")."""
    for key, run in figures.items():
        if key == name or key.startswith(name + "/"):
            return run
    sys.exit(f"bench_table: no figures for {name}")


def seconds(run, field="real_time"):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[run["time_unit"]]
    return run[field] * scale


def verdict(met):
    return "met" if met else "**missed**"


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    core = medians(sys.argv[1])
    host = {}
    with open(sys.argv[2], encoding="utf-8") as source:
        for line in source:
            name, *values = line.split()
            host[name] = [float(value) for value in values]

    print("#### The add-in, one new message through RunWorkflow2 (µs, median of 3 runs)\n")
    print("| path | 10 entries | 10,000 | 1,000,000 | 1,000,000 ÷ 10 | target ≤ 1.5 |")
    print("|---|---:|---:|---:|---:|---|")
    for path in PATHS:
        times = [seconds(pick(core, f"bm_run_workflow2/{path}/{size}")) for size in SIZES]
        ratio = times[-1] / times[0]
        cells = " | ".join(f"{time * 1e6:.0f}" for time in times)
        print(f"| {path} | {cells} | {ratio:.2f} | {verdict(ratio <= LIST_RATIO_TARGET)} |")

    rows = []
    load = seconds(pick(core, "bm_load_list_1m"))
    save = seconds(pick(core, "bm_save_list_1m"))
    held = pick(core, "bm_list_memory_1m")["bytes_held"]
    file_bytes = pick(core, "bm_list_memory_1m")["file_bytes"]
    rows.append(("load a 1,000,000-entry list file", f"{load:.3f} s", "< 0.3 s", load < 0.3))
    rows.append(("save it (written and synced)", f"{save:.3f} s", "< 0.5 s", save < 0.5))
    rows.append(("memory it holds", f"{held / 1e6:.1f} MB, {held / file_bytes:.2f} × its file "
                 f"({file_bytes / 1e6:.1f} MB)", "≤ 2 × the file", held <= 2 * file_bytes))
    add_seconds, add_kb = host["list_add"]
    rows.append(("`tarnwick list add` to it", f"{add_seconds:.2f} s, peak {add_kb / 1024:.0f} MB", "< 1 s",
                 add_seconds < 1))
    show_seconds, show_kb = host["list_show"]
    rows.append(("`tarnwick list show` of it", f"{show_seconds:.2f} s, peak {show_kb / 1024:.0f} MB", "", None))
    for contacts in (1_000, 10_000):
        took = seconds(pick(core, f"bm_contact_import/{contacts}"))
        target = "< 1 s" if contacts == 10_000 else ""
        rows.append((f"contact import of {contacts:,} new contacts", f"{took * 1e3:.1f} ms", target,
                     took < 1 if target else None))
    parse = seconds(pick(core, "bm_parse_config_file/10000"))
    rows.append(("read a configuration file of 10,000 lines", f"{parse * 1e3:.1f} ms", "", None))

    print("\n#### Lists, contacts and settings\n")
    print("| measure | figure | target | |")
    print("|---|---|---|---|")
    for measure, figure, target, met in rows:
        print(f"| {measure} | {figure} | {target} | {'' if met is None else verdict(met)} |")


if __name__ == "__main__":
    main()
