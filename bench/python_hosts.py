#!/usr/bin/env python3
"""The Python package beside what a Python user would otherwise write.

Each case runs in a fresh process, the cases interleaved, and the medians of
the repetitions are compared in one run:

    open(path).to_pandas()         against  pandas.read_csv(path)
    with open(path) as t:          against  pandas.read_csv(path)
        t.to_pandas()              (the table kept open beside the frame)
    read_pandas(path)              against  pandas.read_csv(path)
    for row in table (dicts)       against  for row in csv.DictReader(f)
    table.rows()                   against  list(csv.DictReader(f))

Time is the wall time of the operation alone (imports and process start
outside it); memory is the process's peak resident size (VmHWM) above what
it held after its imports.

    python3 bench/python_hosts.py [--file mixed.csv] [--reps 5] [--cases a,b]

Without --cases the Node.js package's figures follow, from
bench/node_hosts.mjs in the same run (--no-node skips them).

Without --file the mixed data set is generated into bench/data/ by
bench/compare/gen_data.cpp. The library is the one VELMORA_CSV_LIBRARY names,
else build/release/libvelmora-csv.so of this checkout (built when missing).
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable

# (ours, the peer's): each pair is one row of the report.
PAIRS = [
    ("velmora_to_pandas", "pandas_read_csv"),
    ("velmora_kept_to_pandas", "pandas_read_csv"),
    ("velmora_read_pandas", "pandas_read_csv"),
    ("velmora_iter_dicts", "dictreader_iter"),
    ("velmora_rows", "dictreader_list"),
]


def _status_kb(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def _run_case(name: str, path: str) -> dict:
    """One case in this process: returns its time and memory."""
    import csv

    if name.startswith("velmora"):
        sys.path.insert(0, os.environ.get("VELMORA_BENCH_PACKAGE") or os.path.join(ROOT, "python"))
        import velmora_csv
    if name.endswith("pandas") or name.startswith("pandas"):
        import pandas as pd
    base = _status_kb("VmRSS")
    keep = None
    start = time.perf_counter()
    if name == "pandas_read_csv":
        keep = pd.read_csv(path)
    elif name == "velmora_to_pandas":
        # The table is a temporary: it is closed once its export is taken
        # and gives its memory back as the frame is built.
        keep = velmora_csv.open(path).to_pandas()
    elif name == "velmora_kept_to_pandas":
        # The caller keeps the table open beside the frame.
        with velmora_csv.open(path) as table:
            keep = table.to_pandas()
    elif name == "velmora_read_pandas":
        keep = velmora_csv.read_pandas(path)
    elif name == "dictreader_iter":
        with open(path, newline="", encoding="utf-8") as f:
            for _row in csv.DictReader(f):
                pass
    elif name == "velmora_iter_dicts":
        with velmora_csv.open(path) as table:
            for _row in table:
                pass
    elif name == "dictreader_list":
        with open(path, newline="", encoding="utf-8") as f:
            keep = list(csv.DictReader(f))
    elif name == "velmora_rows":
        with velmora_csv.open(path) as table:
            keep = table.rows()
    else:
        raise SystemExit(f"unknown case {name}")
    seconds = time.perf_counter() - start
    peak = _status_kb("VmHWM")
    return {"case": name, "seconds": seconds, "peak_kb": peak - base, "rows": len(keep) if keep is not None else None}


def _mixed_file() -> str:
    data = os.path.join(ROOT, "bench", "data")
    path = os.path.join(data, "mixed.csv")
    if not os.path.exists(path):
        os.makedirs(data, exist_ok=True)
        exe = os.path.join(data, "gen_data")
        subprocess.run(["g++", "-O2", "-std=c++20", "-o", exe,
                        os.path.join(ROOT, "bench", "compare", "gen_data.cpp")], check=True)
        subprocess.run([exe, data, "mixed"], check=True)
    return path


def _library() -> str:
    named = os.environ.get("VELMORA_CSV_LIBRARY")
    if named:
        return named
    build = os.path.join(ROOT, "build", "release")
    lib = os.path.join(build, "libvelmora-csv.so")
    if not os.path.exists(lib):
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True)
        subprocess.run(["cmake", "--build", build, "--target", "velmora-csv", "-j2"], check=True)
    return lib


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--file")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--cases", help="comma-separated case names (default: all)")
    parser.add_argument("--package", help="the directory holding the velmora_csv package to time "
                        "(default: python/ of this checkout), e.g. an earlier version's")
    parser.add_argument("--no-node", action="store_true",
                        help="skip the Node.js package's figures (bench/node_hosts.mjs)")
    parser.add_argument("--case", help=argparse.SUPPRESS)  # one case, in a child process
    args = parser.parse_args()
    if args.case:
        print(json.dumps(_run_case(args.case, args.file)))
        return

    path = args.file or _mixed_file()
    env = dict(os.environ, VELMORA_CSV_LIBRARY=_library())
    if args.package:
        env["VELMORA_BENCH_PACKAGE"] = os.path.abspath(args.package)
    cases = list(dict.fromkeys(c for pair in PAIRS for c in pair))
    if args.cases:
        cases = [c for c in cases if c in args.cases.split(",")]
    with open(path, "rb") as f:  # every case finds the file in the page cache
        while f.read(1 << 24):
            pass
    results: dict = {c: [] for c in cases}
    for _ in range(args.reps):
        for case in cases:  # interleaved: a burst of other load hits all alike
            out = subprocess.run([PYTHON, __file__, "--case", case, "--file", path],
                                 env=env, capture_output=True, text=True)
            if out.returncode != 0:
                print(f"{case} failed:\n{out.stderr}", file=sys.stderr)
                continue
            results[case].append(json.loads(out.stdout))

    def med(case: str, key: str) -> float:
        return statistics.median(r[key] for r in results[case]) if results.get(case) else float("nan")

    print(f"file: {path} ({os.path.getsize(path) / 1e6:.0f} MB), {args.reps} fresh processes per case, "
          f"medians; package: {args.package or 'python/'}\n")
    print("| operation | velmora-csv s | peer s | time ratio | velmora-csv peak MB | peer peak MB | memory ratio |")
    print("|---|---|---|---|---|---|---|")
    for ours, peer in PAIRS:
        if ours not in results or peer not in results:
            continue
        t0, t1 = med(ours, "seconds"), med(peer, "seconds")
        m0, m1 = med(ours, "peak_kb") / 1024, med(peer, "peak_kb") / 1024
        print(f"| {ours} vs {peer} | {t0:.2f} | {t1:.2f} | {t0 / t1:.2f} | {m0:.0f} | {m1:.0f} | {m0 / m1:.2f} |")
    if not args.no_node and shutil.which("node") and not args.cases:
        # The Node.js package's figures in the same run (bench/node_hosts.mjs).
        print()
        out = subprocess.run(["node", os.path.join(ROOT, "bench", "node_hosts.mjs"),
                              "--large", path, "--reps", str(args.reps)],
                             env=env, capture_output=True, text=True)
        print(out.stdout if out.returncode == 0 else f"node_hosts.mjs failed:\n{out.stderr}")


if __name__ == "__main__":
    main()
