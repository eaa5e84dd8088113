#!/usr/bin/env python3
"""The same files through dask.dataframe.read_csv and velmora_csv.dask.read_csv
on one LocalCluster: time and answers side by side.

Two data sets, each a few files cut into blocks:
  plain        quoted text fields, no line ends inside them
  line-ends    the same with a line end inside every second text field
The answers are the row count and the sum of a numeric column; the single-
machine load of velmora_csv.open gives the reference answers.

  VELMORA_CSV_LIBRARY=build/release/libvelmora-csv.so \\
    PYTHONPATH=python /usr/bin/python3 bench/dask_compare.py [--mb 160] [--files 4] [--runs 3]
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import tempfile
import time

import dask
import dask.dataframe as dd
import distributed

import velmora_csv
from velmora_csv import dask as vdask

WORDS = ["alpha", "beta", "gamma", "delta", "kilo", "lima", "oscar", "tango", "x-ray", "zulu"]


def write_file(path: str, target_bytes: int, line_ends: bool, seed: int) -> None:
    rng = random.Random(seed)
    with open(path, "w", newline="") as f:
        f.write("id,name,amount,comment,code\n")
        written, i, chunk = 0, 0, []
        while written < target_bytes:
            words = " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 8)))
            if line_ends and i % 2 == 0:
                words = words.replace(" ", "\n", 1)
            line = f'{i},"{rng.choice(WORDS)}, {rng.choice(WORDS)}",{rng.randint(0, 10**6) / 100},"{words}",{rng.randint(0, 999)}\n'
            chunk.append(line)
            written += len(line)
            i += 1
            if len(chunk) >= 10000:
                f.write("".join(chunk))
                chunk = []
        f.write("".join(chunk))


def reference(paths):
    rows, total = 0, 0.0
    for p in paths:
        with velmora_csv.open(p) as t:
            frame = t.to_pandas()
        rows += len(frame)
        total += float(frame["amount"].sum())
    return rows, total


def answers(ddf):
    n, s = dask.compute(ddf.shape[0], ddf["amount"].sum())
    return int(n), float(s)


def run(label, make, runs):
    times, answer = [], None
    for _ in range(runs):
        start = time.perf_counter()
        try:
            answer = answers(make())
        except Exception as exc:  # a reader that cannot read the files says so
            answer = f"error: {type(exc).__name__}: {str(exc).splitlines()[0][:60]}"
        times.append(time.perf_counter() - start)
    return label, statistics.median(times), answer


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--mb", type=int, default=160, help="total megabytes per data set")
    ap.add_argument("--files", type=int, default=4)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--blocksize", default="16MB")
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="dask-compare-")
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        print(f"{args.files} files, {args.mb} MB per data set, blocksize {args.blocksize}, "
              f"2 worker processes x 1 thread, median of {args.runs} runs")
        for name, line_ends in (("plain", False), ("line-ends", True)):
            paths = []
            for j in range(args.files):
                p = os.path.join(work, f"{name}-{j}.csv")
                write_file(p, args.mb * 1_000_000 // args.files, line_ends, seed=j)
                paths.append(p)
            ref = reference(paths)
            results = [
                run("dask.dataframe.read_csv", lambda: dd.read_csv(paths, blocksize=args.blocksize), args.runs),
                run("velmora_csv.dask.read_csv", lambda: vdask.read_csv(paths, blocksize=args.blocksize), args.runs),
            ]
            print(f"\n{name}: reference rows {ref[0]}, sum {ref[1]:.2f}")
            base = results[0][1] if isinstance(results[0][2], tuple) else None
            for label, secs, ans in results:
                right = "matches" if isinstance(ans, tuple) and ans[0] == ref[0] and abs(ans[1] - ref[1]) < 1e-6 * max(1.0, abs(ref[1])) else "WRONG"
                shown = f"rows {ans[0]}, sum {ans[1]:.2f}" if isinstance(ans, tuple) else ans
                ratio = f"{secs / base:4.2f}x" if base else "  -  "
                print(f"  {label:27s} {secs:7.2f} s  ({ratio})  {shown}  [{right}]")
            for p in paths:
                os.remove(p)
    os.rmdir(work)


if __name__ == "__main__":
    main()
