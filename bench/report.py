#!/usr/bin/env python3
"""Turns the benchmarks' JSON output into one table (Markdown).

Times are medians over the repetitions of one run. The main figures use the
process's CPU time (user and system), which other work on a shared machine does
not inflate; the last column gives the same ratio by wall-clock time.
"""
import json
import os
import re
import statistics
import sys
from collections import defaultdict

UNIT = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
# Parts Google Benchmark appends to a name for settings such as Iterations(1).
SETTING = re.compile(r"^((iterations|repeats|min_time|min_warmup_time|threads):.*|manual_time|real_time)$")


def base_name(run_name):
    return "/".join(p for p in run_name.split("/") if not SETTING.match(p))


def load(path):
    with open(path) as f:
        data = json.load(f)
    runs = defaultdict(list)
    for b in data["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        runs[base_name(b["run_name"])].append(b)
    return runs


def seconds(b, key):
    return b[key] * UNIT[b["time_unit"]]


def med(runs, name, key):
    """Median seconds per iteration of one benchmark."""
    return statistics.median(seconds(b, key) for b in runs[name])


def fmt_time(s):
    if s >= 1:
        return f"{s:.2f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.2f} ms"
    return f"{s * 1e6:.0f} µs"


def fmt_rate(v, unit):
    return f"{v:,.0f} {unit}"


def main():
    out, corpus = sys.argv[1], sys.argv[2]
    rows = []
    details = []

    name = load(os.path.join(out, "name.json"))
    files = sorted({n.split("/", 1)[1] for n in name if n.startswith("poppler/")})
    for label, prefix in (("title", "name/title/"), ("first line", "name/first-line/")):
        t_cpu, p_cpu, r_cpu, r_wall = [], [], [], []
        for f in files:
            tc, pc = med(name, prefix + f, "cpu_time"), med(name, "poppler/" + f, "cpu_time")
            tw, pw = med(name, prefix + f, "real_time"), med(name, "poppler/" + f, "real_time")
            t_cpu.append(tc)
            p_cpu.append(pc)
            r_cpu.append(pc / tc)
            r_wall.append(pw / tw)
            if prefix == "name/title/":
                details.append((f, tc, med(name, "name/first-line/" + f, "cpu_time"), pc, pc / tc))
        rows.append((f"name one file ({label}), median of {len(files)} files",
                     fmt_time(statistics.median(t_cpu)),
                     "poppler-cpp " + fmt_time(statistics.median(p_cpu)),
                     f"{statistics.median(r_cpu):.1f}× faster",
                     f"{statistics.median(r_wall):.1f}×"))

    batch = load(os.path.join(out, "batch.json"))
    for run, label in (("batch/tavrik", "title"), ("batch/tavrik-first-line", "first line")):
        if run not in batch or "batch/io-floor" not in batch:
            continue
        files_n = batch[run][0]["files"]
        renamed = batch[run][0]["renamed"]
        b_cpu = statistics.median(b["cpu_s"] for b in batch[run])
        f_cpu = statistics.median(b["cpu_s"] for b in batch["batch/io-floor"])
        b_wall = med(batch, run, "real_time")
        f_wall = med(batch, "batch/io-floor", "real_time")
        rows.append((f"batch ({label}), {files_n:,.0f} files ({renamed:,.0f} renamed)",
                     fmt_rate(files_n / b_cpu, "files/s"),
                     "I/O floor " + fmt_rate(files_n / f_cpu, "files/s"),
                     f"{b_cpu / f_cpu:.1f}× the floor's time",
                     f"{b_wall / f_wall:.1f}×"))

    big = load(os.path.join(out, "big.json"))
    for doc, label in (("2000-pages", "2,000 pages"), ("100-MiB", "100 MiB")):
        t, p = "big/tavrik/" + doc, "big/poppler/" + doc
        if t not in big:
            continue
        mib = big[t][0]["MiB"]
        tc, tw = med(big, t, "cpu_time"), med(big, t, "real_time")
        ref, ratio, wall = "", "", ""
        if p in big:
            pc, pw = med(big, p, "cpu_time"), med(big, p, "real_time")
            ref = f"poppler-cpp {pc * 1e3 / mib:.3g} ms/MiB (loads lazily, first page only)"
            ratio = f"{pc / tc:.3g}×"
            wall = f"{pw / tw:.3g}×"
        rows.append((f"{label} ({mib:.1f} MiB), first line",
                     f"{tc * 1e3 / mib:.2f} ms/MiB ({fmt_time(tc)})", ref, ratio, wall))

    flate = load(os.path.join(out, "flate.json"))
    for data, label in (("corpus", "corpus streams"), ("text_level6", "text, level 6"),
                        ("text_level9", "text, level 9")):
        t, z = "BM_tavrik_" + data, "BM_zlib_" + data
        if t not in flate or z not in flate:
            continue
        size = flate[t][0]["bytes_per_second"] * seconds(flate[t][0], "cpu_time")  # bytes per iteration
        tc, zc = med(flate, t, "cpu_time"), med(flate, z, "cpu_time")
        tw, zw = med(flate, t, "real_time"), med(flate, z, "real_time")
        rows.append((f"inflate {label}", fmt_rate(size / tc / 1e6, "MB/s"),
                     "zlib " + fmt_rate(size / zc / 1e6, "MB/s"), f"{zc / tc:.2f}× zlib's speed",
                     f"{zw / tw:.2f}×"))

    print("| measurement | tavrik | reference | ratio (CPU time) | ratio (wall clock) |")
    print("|---|---|---|---|---|")
    for r in rows:
        print("| " + " | ".join(r) + " |")
    print()
    print(f"Per file ({corpus}), median CPU time:")
    print()
    print("| file | title | first line | poppler-cpp | poppler / title |")
    print("|---|---|---|---|---|")
    for f, tc, fc, pc, r in details:
        print(f"| {f} | {fmt_time(tc)} | {fmt_time(fc)} | {fmt_time(pc)} | {r:.1f}× |")


if __name__ == "__main__":
    main()
