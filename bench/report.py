#!/usr/bin/env python3
"""Turns the benchmarks' JSON output into one table (Markdown).

  report.py RESULTS_DIR [CORPUS_DIR [REAL_DIR]]

RESULTS_DIR holds what bench/run wrote: flate.json, name.json and batch.json
(the corpus), big.json, and name-real.json and batch-real.json when real
documents were measured; a missing file leaves its rows out. Times are medians
over the repetitions of one run. The main figures use the process's CPU time
(user and system), which other work on a shared machine does not inflate; the
last column gives the same ratio by wall-clock time.
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
REFERENCES = (("mupdf", "MuPDF"), ("poppler", "poppler-cpp"))
JOBS = (("title", "title"), ("first-line", "first line"))


def base_name(run_name):
    return "/".join(p for p in run_name.split("/") if not SETTING.match(p))


def load(out, name):
    path = os.path.join(out, name)
    if not os.path.exists(path):
        return None
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


def fmt_ratio(r):
    return f"{r:.1f}×" if r >= 1 else f"{r:.3g}×"


def name_rows(name, what):
    """Rows of one naming benchmark run (one folder), and its per-file table."""
    rows = []
    files = sorted({n.split("/", 2)[2] for n in name if n.startswith("name/title/")})
    refs = [(key, label) for key, label in REFERENCES if any(n.startswith(key + "/") for n in name)]
    for job, job_label in JOBS:
        tavrik = "name/" + job + "/"
        named = sum(1 for f in files if name[tavrik + f][0].get("named", 0) > 0)
        t_cpu = [med(name, tavrik + f, "cpu_time") for f in files]
        measurement = f"name by {job_label}, {what} ({len(files)} files, {named} named), median per file"
        if not refs:
            rows.append((measurement, fmt_time(statistics.median(t_cpu)), "", "", ""))
        for key, label in refs:
            ref = key + "/" + job + "/"
            p_cpu = [med(name, ref + f, "cpu_time") for f in files]
            r_cpu = [p / t for p, t in zip(p_cpu, t_cpu)]
            r_wall = [med(name, ref + f, "real_time") / med(name, tavrik + f, "real_time") for f in files]
            rows.append((measurement,
                         fmt_time(statistics.median(t_cpu)),
                         f"{label} {fmt_time(statistics.median(p_cpu))}",
                         f"{fmt_ratio(statistics.median(r_cpu))} faster",
                         fmt_ratio(statistics.median(r_wall))))
    head = ["file", "title", "first line"]
    for key, label in refs:
        head += [f"{label} title", f"{label} first line"]
    for key, label in refs:
        head += [f"{label} / tavrik (title)", f"{label} / tavrik (first line)"]
    table = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for f in files:
        t = {job: med(name, f"name/{job}/{f}", "cpu_time") for job, _ in JOBS}
        cells = [f, fmt_time(t["title"]), fmt_time(t["first-line"])]
        ratios = []
        for key, _ in refs:
            for job, _ in JOBS:
                p = med(name, f"{key}/{job}/{f}", "cpu_time")
                cells.append(fmt_time(p))
                ratios.append(fmt_ratio(p / t[job]))
        if name[f"name/title/{f}"][0].get("named", 0) <= 0:
            cells[0] += " (not named)"
        table.append("| " + " | ".join(cells + ratios) + " |")
    return rows, table


def batch_rows(batch, what):
    rows = []
    floor = "batch/io-floor"
    for run, label in (("batch/tavrik", "title"), ("batch/tavrik-first-line", "first line")):
        if run not in batch or floor not in batch:
            continue
        files_n = batch[run][0]["files"]
        renamed = batch[run][0]["renamed"]
        b_cpu = statistics.median(b["cpu_s"] for b in batch[run])
        f_cpu = statistics.median(b["cpu_s"] for b in batch[floor])
        b_wall = med(batch, run, "real_time")
        f_wall = med(batch, floor, "real_time")
        rows.append((f"batch by {label}, {files_n:,.0f} copies of {what} ({renamed:,.0f} renamed)",
                     fmt_rate(files_n / b_cpu, "files/s"),
                     "I/O floor " + fmt_rate(files_n / f_cpu, "files/s"),
                     f"{b_cpu / f_cpu:.1f}× the floor's time",
                     f"{b_wall / f_wall:.1f}×"))
    return rows


def big_rows(big):
    rows = []
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
    many, few, read = "big/tavrik/flat-5000", "big/tavrik/flat-10", "big/read/flat-5000"
    if many in big and few in big and read in big:
        # The cost of 5,000 pages against what it may cost: 3 times 10 pages plus
        # twice reading the larger file.
        def bound_ratio(key):
            return med(big, many, key) / (3 * med(big, few, key) + 2 * med(big, read, key))
        rows.append((f"5,000 pages in one flat page tree ({big[many][0]['MiB']:.2f} MiB), first line",
                     fmt_time(med(big, many, "cpu_time")),
                     f"10 pages {fmt_time(med(big, few, 'cpu_time'))}; reading the file "
                     f"{fmt_time(med(big, read, 'cpu_time'))}",
                     f"{bound_ratio('cpu_time'):.2f}× (3 × 10 pages + 2 × read)",
                     f"{bound_ratio('real_time'):.2f}×"))
    return rows


def flate_rows(flate):
    rows = []
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
    return rows


def main():
    out = sys.argv[1]
    corpus = sys.argv[2] if len(sys.argv) > 2 else "corpus"
    real = sys.argv[3] if len(sys.argv) > 3 else "real documents"
    real_what = os.path.basename(os.path.normpath(real))
    rows, tables = [], []

    for json_name, batch_name, folder, what in (("name.json", "batch.json", corpus, "corpus"),
                                                ("name-real.json", "batch-real.json", real, real_what)):
        name = load(out, json_name)
        if name:
            r, t = name_rows(name, what)
            rows += r
            tables.append((folder, t))
        batch = load(out, batch_name)
        if batch:
            rows += batch_rows(batch, what)
    big = load(out, "big.json")
    if big:
        rows += big_rows(big)
    flate = load(out, "flate.json")
    if flate:
        rows += flate_rows(flate)

    print("| measurement | tavrik | reference | ratio (CPU time) | ratio (wall clock) |")
    print("|---|---|---|---|---|")
    for r in rows:
        print("| " + " | ".join(r) + " |")
    load_file = os.path.join(out, "load.txt")
    if os.path.exists(load_file):
        print()
        print("Machine load (uptime), before and after the run:")
        print()
        with open(load_file) as f:
            for line in f:
                print("    " + line.rstrip())
    for folder, table in tables:
        print()
        print(f"Per file ({folder}), median CPU time:")
        print()
        for line in table:
            print(line)


if __name__ == "__main__":
    main()
