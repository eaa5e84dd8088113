#!/usr/bin/env python3
"""Times velmora-csv against the tools a host program would otherwise use to
load a large CSV file and answer the same queries as JSON: Polars and DuckDB
(through their Node.js packages), pandas and Python's csv module.

    python3 bench/compare/compare.py [--quick] [--build-dir DIR] ...

One run installs what it needs (npm packages into bench/compare/node_modules,
Debian's python3-pandas), builds the library in Release mode, generates the
data sets into bench/data/ once, runs every tool in a fresh process per
repetition and prints the median figures as Markdown tables. A peer that
cannot be installed or fails is shown as n/a; the run goes on. Raw figures
go to bench/results/. Not part of CI.

velmora-csv runs in two conditions by default: transparent huge pages
allowed (the library's advice takes effect) and disabled for the process
(prctl(PR_SET_THP_DISABLE)), and beside them the floor of a load: reading
the file plus one memchr pass. --thp on|off|both picks the conditions
(--no-thp: off only), --small runs on data sets of 1/100 the size.
"""
import argparse
import ctypes
import datetime
import hashlib
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
DATA = os.path.join(ROOT, "bench", "data")
# --small: the first 1/SMALL_DIVIDE of every data set, for trial runs.
SMALL_DATA = os.path.join(DATA, "small")
SMALL_DIVIDE = 100
RESULTS = os.path.join(ROOT, "bench", "results")
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable

# The data sets and what is asked of each.
DATASETS = [
    {"name": "mixed", "file": "mixed.csv", "title": "1,000,000 rows x 10 mixed columns",
     "ops": ["load", "rows", "rows2", "search", "sort", "stats"], "apart": ["select"],
     "search_col": "comment", "query": "refund", "sort_col": "price",
     "select_cols": "id,city,comment"},
    {"name": "mixed_utf16", "file": "mixed_utf16.csv", "encoding": "utf16le", "sep": ";",
     "title": "the mixed table as UTF-16 LE with BOM, semicolon-separated", "ops": ["load"]},
    {"name": "numeric", "file": "numeric.csv", "title": "5,000,000 rows x 4 numeric columns",
     "ops": ["load", "sort", "stats"], "sort_col": "x"},
    {"name": "text50", "file": "text50.csv", "title": "200,000 rows x 50 short text columns",
     "ops": ["load", "rows", "rows2"], "apart": ["select"], "select_cols": "c01,c17,c42"},
]

OP_LABEL = {
    "load": "load into memory",
    "rows": "all rows as JSON objects",
    "rows2": "all rows as JSON again, same thread (second call)",
    "select": "three columns (csv_select) as JSON, first query of its process",
    "arrow": "every column as a typed Arrow stream, read to its end, first query of its process",
    "search": "substring search, matching rows as JSON",
    "sort": "sort by float column, all rows as JSON",
    "stats": "per-column count, distinct, min, max, mean",
}

# name, label, runner kind, threads, default repetitions
TOOLS = [
    ("velmora", "velmora-csv", "host", 1, 3),
    ("velmora_node", "velmora-csv (Node.js)", "node:peer_velmora_node.js", 1, 3),
    ("polars", "Polars (2 threads)", "node:peer_polars.js", 2, 3),
    ("polars1", "Polars (1 thread)", "node:peer_polars.js", 1, 3),
    ("duckdb", "DuckDB (2 threads)", "node:peer_duckdb.js", 2, 3),
    ("pandas", "pandas", "py:peer_pandas.py", 1, 3),
    ("pycsv", "Python csv", "py:peer_pycsv.py", 1, 1),
]
# Repetitions for the slow pure-Python peers on the larger extra data sets.
SLOW_REPS = {"pandas": 1, "pycsv": 1}


# ---- the project's own tools and their conditions ---------------------------
# A tool whose name starts with "velmora" is this project's; every other one
# is a peer. Ours also run with transparent huge pages disabled, as a variant
# named NAME + NO_THP; the C++ host ("host") also runs the EXTRAS.
NO_THP = "_nothp"
PR_SET_THP_DISABLE = 41  # <linux/prctl.h>

# Operations a data set lists under "apart" run in a process of their own
# (after the load, as the first query), for the tools whose runners know
# them; their figures are kept as the tool "NAME:op".
APART_RUNNERS = ("host", "node:peer_polars.js")

# Per data set, extra fresh-process runs of the C++ host: (key, host options,
# ops). Their figures are kept as the tool "NAME:key".
EXTRAS = {
    "mixed": [
        ("load_ex", ["--loader", "ex"], ["load"]),  # csv_load_ex, detection
        ("floor", [], ["floor"]),                    # read the file + memchr
        ("arrow", [], ["arrow"]),                    # typed Arrow export, first query
    ],
}

# The figures the project sets targets for:
# (label, data set, op, versus, goal); versus "polars" divides by Polars'
# time for the same data set and op, "floor" by the read + memchr run,
# "utf8" by our csv_load of mixed.csv, "first" by our own first call of
# all rows (op "rows") in the same runs, "rows" by our all rows (op "rows")
# of the data set's main runs, "spread" is the slowest of our
# runs over their median, "rss" is a peak RSS bound in MB.
TARGETS = [
    ("csv_load mixed.csv / Polars (2 threads)", "mixed", "load", "polars", 0.9),
    ("csv_load numeric.csv / Polars (2 threads)", "numeric", "load", "polars", 0.9),
    ("csv_load text50.csv / Polars (2 threads)", "text50", "load", "polars", 0.9),
    ("csv_load_ex (detection) mixed.csv / Polars load (2 threads)", "mixed:load_ex", "load",
     "polars", 0.9),
    ("csv_load mixed.csv / (read + memchr)", "mixed", "load", "floor", 2.0),
    ("csv_load_ex UTF-16 copy / csv_load UTF-8", "mixed_utf16", "load", "utf8", 1.3),
    ("all rows as JSON, mixed.csv / Polars (2 threads)", "mixed", "rows", "polars", 0.9),
    ("sort + all rows as JSON, mixed.csv / Polars (2 threads)", "mixed", "sort", "polars", 0.9),
    ("all rows as JSON, text50.csv / Polars (2 threads)", "text50", "rows", "polars", 0.9),
    ("three columns (csv_select), mixed.csv / Polars (2 threads)", "mixed", "select", "polars", 0.9),
    ("three columns (csv_select), text50.csv / Polars (2 threads)", "text50", "select", "polars",
     0.9),
    ("all rows again on the same thread / first call, mixed.csv", "mixed", "rows2", "first", 0.5),
    ("all rows again on the same thread / first call, text50.csv", "text50", "rows2", "first", 0.5),
    ("slowest / median run, all rows as JSON, mixed.csv", "mixed", "rows", "spread", 1.5),
    ("slowest / median run, sort + all rows, mixed.csv", "mixed", "sort", "spread", 1.5),
    ("slowest / median run, all rows as JSON, text50.csv", "text50", "rows", "spread", 1.5),
    ("slowest / median run, csv_select, mixed.csv", "mixed", "select", "spread", 1.5),
    ("slowest / median run, csv_select, text50.csv", "text50", "select", "spread", 1.5),
    ("typed Arrow export, every column / all rows as JSON, mixed.csv (each the first query)",
     "mixed:arrow", "arrow", "rows", 0.6),
    ("peak RSS after csv_load of mixed.csv (MB)", "mixed", "load", "rss", 204),
]


def is_ours(name):
    return name.split(":")[0].startswith("velmora")


def with_thp_variants(tools, mode):
    """Our tools in the conditions asked for: 'on', 'off' or 'both'."""
    out = []
    for name, label, kind, threads, reps in tools:
        if not is_ours(name):
            out.append((name, label, kind, threads, reps))
            continue
        if mode in ("on", "both"):
            out.append((name, label + (" (THP allowed)" if mode == "both" else ""), kind,
                        threads, reps))
        if mode in ("off", "both"):
            out.append((name + NO_THP, label + " (THP off)", kind, threads, reps))
    return out


def disable_thp():
    """preexec_fn: transparent huge pages off for the child (kept over exec)."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_THP_DISABLE) failed")


def label_for(name, label_of):
    """Label of a tool, a variant or an extra run ("velmora:floor")."""
    base, _, extra = name.partition(":")
    label = label_of.get(base, base)
    return f"{label} [{extra}]" if extra else label


def log(msg):
    print(f"[compare] {msg}", file=sys.stderr, flush=True)


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)


# ---- setup ----------------------------------------------------------------

def build_library(build_dir):
    """Builds libvelmora-csv (Release), the host and the data generator."""
    cfg = run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
               "-DVELMORA_BUILD_TESTS=OFF"])
    if cfg.returncode != 0:
        sys.exit("cmake failed:\n" + cfg.stdout + cfg.stderr)
    mk = run(["make", "-C", build_dir, "-j2", "velmora-csv"])
    if mk.returncode != 0:
        sys.exit("building velmora-csv failed:\n" + mk.stdout[-4000:] + mk.stderr[-4000:])
    out = os.path.join(build_dir, "compare")
    os.makedirs(out, exist_ok=True)
    gen = os.path.join(out, "gen_data")
    host = os.path.join(out, "host_velmora")
    for cmd in (
        ["g++", "-O2", "-std=c++20", "-o", gen, os.path.join(HERE, "gen_data.cpp")],
        ["g++", "-O2", "-std=c++20", "-I", os.path.join(ROOT, "include"), "-o", host,
         os.path.join(HERE, "host_velmora.cpp"), "-L", build_dir, "-lvelmora-csv",
         "-Wl,-rpath," + os.path.abspath(build_dir)],
    ):
        r = run(cmd)
        if r.returncode != 0:
            sys.exit(" ".join(cmd) + " failed:\n" + r.stderr)
    return gen, host


def generate_data(gen, divide=1):
    """Writes the data sets unless the ones there came from this generator."""
    with open(os.path.join(HERE, "gen_data.cpp"), "rb") as f:
        stamp = hashlib.sha256(f.read()).hexdigest() + (f" divide {divide}" if divide > 1 else "")
    stamp_file = os.path.join(DATA, ".gen_data.sha256")
    have = open(stamp_file).read().strip() if os.path.exists(stamp_file) else ""
    files = [os.path.join(DATA, d["file"]) for d in DATASETS]
    if have == stamp and all(os.path.exists(p) for p in files):
        return
    os.makedirs(DATA, exist_ok=True)
    log(f"generating data sets into {os.path.relpath(DATA, ROOT)}/ ...")
    t0 = time.time()
    r = run([gen, DATA, "--divide", str(divide)])
    if r.returncode != 0:
        sys.exit("data generation failed:\n" + r.stderr)
    with open(stamp_file, "w") as f:
        f.write(stamp + "\n")
    log(f"generated in {time.time() - t0:.1f} s")


def setup_node():
    """npm ci into bench/compare/node_modules; returns the node binary or None."""
    node, npm = shutil.which("node"), shutil.which("npm")
    if not node or not npm:
        log("node/npm not found: Polars and DuckDB will be n/a")
        return None
    lock = os.path.join(HERE, "package-lock.json")
    marker = os.path.join(HERE, "node_modules", ".package-lock.json")
    if not os.path.exists(marker) or os.path.getmtime(marker) < os.path.getmtime(lock):
        log("npm ci (nodejs-polars, @duckdb/node-api) ...")
        r = run([npm, "ci", "--no-audit", "--no-fund"], cwd=HERE)
        if r.returncode != 0:
            log("npm ci failed; Polars and DuckDB may be n/a:\n" + r.stderr[-2000:])
    # koffi for the Node.js package of velmora-csv (node/).
    pkg = os.path.join(ROOT, "node")
    if not os.path.exists(os.path.join(pkg, "node_modules", ".package-lock.json")):
        r = run([npm, "ci", "--no-audit", "--no-fund"], cwd=pkg)
        if r.returncode != 0:
            log("npm ci in node/ failed; velmora-csv (Node.js) may be n/a:\n" + r.stderr[-2000:])
    return node


def setup_pandas():
    """Installs Debian's python3-pandas when it is missing; True if usable."""
    if run([PYTHON, "-c", "import pandas"]).returncode == 0:
        return True
    apt = shutil.which("apt-get")
    if apt:
        log("installing python3-pandas with apt-get ...")
        sudo = [] if os.geteuid() == 0 else ["sudo", "-n"]
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        run(sudo + [apt, "update", "-q"], env=env)
        r = run(sudo + [apt, "install", "-y", "-q", "python3-pandas"], env=env)
        if r.returncode != 0:
            log("apt-get install python3-pandas failed:\n" + r.stderr[-2000:])
    return run([PYTHON, "-c", "import pandas"]).returncode == 0


def peer_versions(node):
    v = {"python": run([PYTHON, "-c", "import platform; print(platform.python_version())"])
         .stdout.strip()}
    if node:
        v["node"] = run([node, "--version"]).stdout.strip()
        for pkg in ("nodejs-polars", "@duckdb/node-api"):
            p = os.path.join(HERE, "node_modules", pkg, "package.json")
            if os.path.exists(p):
                v[pkg] = json.load(open(p))["version"]
    r = run([PYTHON, "-c", "import pandas; print(pandas.__version__)"])
    if r.returncode == 0:
        v["pandas"] = r.stdout.strip()
    return v


def probe(cmd, env=None):
    return run(cmd, cwd=HERE, env=env).returncode == 0


# ---- running --------------------------------------------------------------

def tool_command(kind, host, node, ds, threads, ops, host_opts=()):
    args = ["--file", os.path.join(DATA, ds["file"]), "--encoding", ds.get("encoding", "utf8"),
            "--sep", ds.get("sep", ","), "--ops", ",".join(ops), "--threads", str(threads)]
    for k in ("search_col", "query", "sort_col", "select_cols"):
        if k in ds:
            args += ["--" + k.replace("_", "-"), ds[k]]
    if kind == "host":
        return [host] + args + list(host_opts)
    lang, script = kind.split(":")
    if lang == "node":
        return [node, os.path.join(HERE, script)] + args
    return [PYTHON, os.path.join(HERE, script)] + args


def run_once(cmd, threads, timeout, no_thp=False):
    env = dict(os.environ, POLARS_MAX_THREADS=str(threads), OMP_NUM_THREADS="1")
    t0 = time.time()
    try:
        r = subprocess.run(cmd, cwd=HERE, env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True, timeout=timeout,
                           preexec_fn=disable_thp if no_thp else None)
    except subprocess.TimeoutExpired:
        return None, f"timed out after {timeout} s"
    except (OSError, subprocess.SubprocessError) as e:
        return None, f"could not start: {e}"
    if r.returncode != 0:
        return None, (r.stderr.strip().splitlines() or ["exit %d" % r.returncode])[-1]
    try:
        res = json.loads(r.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return None, "unreadable output"
    res["process_s"] = time.time() - t0
    return res, None


def warm_cache(path):
    # Reads the file once so that no tool pays for the first disk read.
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


def median(xs):
    return statistics.median(xs) if xs else None


# ---- reporting ------------------------------------------------------------

def fmt_s(v):
    if v is None:
        return "n/a"
    return f"{v:.3f} s" if v < 1 else f"{v:.2f} s"


def fmt_mb(kb):
    return "n/a" if kb is None else f"{kb / 1024:.0f} MB"


def best_peer(peers):
    """(value, name) of the least figure among the peers, or None."""
    avail = [(v, t) for t, v in peers.items() if v is not None]
    return min(avail) if avail else None


def ratio_cell(ours, peers, label_of):
    """ours / best peer for each of our tools ("a / b"), with the best peer's
    name; below 1 means faster."""
    best = best_peer(peers)
    if best is None or all(v is None for v in ours):
        return "n/a"
    parts = ["n/a" if v is None else f"{v / best[0]:.2f}" for v in ours]
    return " / ".join(parts) + f" ({label_of[best[1]]})"


class Figures:
    """Medians of the runs in `results`, by data set, tool and operation."""

    def __init__(self, results):
        self.results = results

    def runs(self, ds, tool):
        return self.results.get(ds, {}).get(tool, {}).get("runs", [])

    def all_times(self, ds, tool, op, key="times"):
        # An operation run apart is kept under "tool:op".
        runs = self.runs(ds, tool) + self.runs(ds, f"{tool}:{op}")
        return [r[key][op] for r in runs if op in r.get(key, {})]

    def time(self, ds, tool, op, key="times"):
        return median(self.all_times(ds, tool, op, key))

    def rss(self, ds, tool, key="rss_load_kb"):
        return median([r[key] for r in self.runs(ds, tool) if r.get(key, -1) >= 0])

    def target(self, tool, entry):
        """(ours, versus) of one TARGETS entry for our tool, or None."""
        _, where, op, versus, _ = entry
        ds, _, extra = where.partition(":")
        t = tool + (":" + extra if extra else "")
        if versus == "rss":
            kb = self.rss(ds, t)
            return None if kb is None else (kb / 1024, 1.0)
        ours = self.time(ds, t, op)
        if versus == "spread":
            times = self.all_times(ds, t, op)
            return None if not times or not ours else (max(times), ours)
        if versus == "polars":
            other = self.time(ds, "polars", op)
        elif versus == "floor":
            other = self.time(ds, tool + ":floor", "floor")
        elif versus == "first":
            other = self.time(ds, t, "rows")
        elif versus == "rows":
            other = self.time(ds, tool, "rows")
        else:  # "utf8"
            other = self.time("mixed", tool, "load")
        return None if ours is None or not other else (ours, other)


def report_header(p, env_info, versions, reps_used, label_of, small):
    p("## velmora-csv against the usual choices")
    p("")
    if small:
        p(f"- **small data sets** (--small: 1/{SMALL_DIVIDE} of the rows): a trial run, "
          "not figures to quote")
    p(f"- machine: {env_info['cpu']}, {env_info['cores']} cores, {env_info['mem_gib']} GiB; "
      f"load average at start {env_info['load_start']}, at end {env_info['load_end']}; "
      f"transparent huge pages: enabled {env_info['thp']}, defrag {env_info['thp_defrag']}")
    p("- versions: " + ", ".join(f"{k} {v}" for k, v in versions.items()))
    p("- every figure: median wall time of fresh-process runs; repetitions per data set: " +
      "; ".join(f"{ds} " + ", ".join(f"{label_for(t, label_of)} {n}" for t, n in per.items())
                for ds, per in reps_used.items()))
    p("- ratio = velmora-csv time / best peer time (below 1: velmora-csv is faster), one "
      "figure per velmora-csv column; peak RSS = VmHWM of the process right after the load, "
      "runtime included; THP off = transparent huge pages disabled for the process "
      "(prctl(PR_SET_THP_DISABLE))")
    p("")


def report_tables(p, fig, names, ours, peers, datasets, label_of, small):
    """One table per data set: operations down, tools across."""
    header = ("| operation | " + " | ".join(label_of[t] for t in names) +
              " | ratio to best peer (" + " / ".join(label_of[t] for t in ours) + ") |")
    sep = "|---" * (len(names) + 2) + "|"

    def line(label, vals, fmt, ratio=True):
        row = [label] + [fmt(vals.get(t)) for t in names]
        row.append(ratio_cell([vals.get(t) for t in ours], {t: vals.get(t) for t in peers},
                              label_of) if ratio else "")
        p("| " + " | ".join(row) + " |")

    # The UTF-16 copy is shown inside the table of the UTF-8 file when both ran.
    has_mixed = any(d["name"] == "mixed" for d in datasets)
    utf16 = any(d["name"] == "mixed_utf16" for d in datasets)
    for ds in [d for d in datasets if d["name"] != "mixed_utf16" or not has_mixed]:
        size = os.path.getsize(os.path.join(DATA, ds["file"])) / 1e6
        scale = f", the first 1/{SMALL_DIVIDE} of the rows" if small else ""
        p(f"### {ds['file']}: {ds['title']}{scale} ({size:.1f} MB)" if small else
          f"### {ds['file']}: {ds['title']} ({size:.0f} MB)")
        p("")
        p(header)
        p(sep)
        name = ds["name"]
        for op in ds["ops"] + ds.get("apart", []):
            line(OP_LABEL[op], {t: fig.time(name, t, op) for t in names}, fmt_s)
            if op != "load":
                continue
            line("peak RSS after load", {t: fig.rss(name, t) for t in names}, fmt_mb)
            extras = [k for k, _, _ in EXTRAS.get(name, [])]
            if "load_ex" in extras:
                # Peers have no detection: their plain load is the comparison.
                v = {t: fig.time(name, t, "load") for t in peers}
                v.update({t: fig.time(name, t + ":load_ex", "load") for t in ours})
                line("load with detection (csv_load_ex, encoding and delimiter 0)", v, fmt_s)
            if "floor" in extras:
                line("read the file + one memchr pass (one thread)",
                     {t: fig.time(name, t + ":floor", "floor") for t in ours}, fmt_s, False)
            if name == "mixed" and utf16:
                line("load the UTF-16 LE copy (;)",
                     {t: fig.time("mixed_utf16", t, "load") for t in names}, fmt_s)
                line("peak RSS after UTF-16 load",
                     {t: fig.rss("mixed_utf16", t) for t in names}, fmt_mb)
        p("")


def report_conditions(p, fig, ours, label_of):
    """The loads of the mixed file in each condition, beside Polars and the floor."""
    if not fig.runs("mixed", "velmora") and not fig.runs("mixed", "velmora" + NO_THP):
        return
    p("### mixed.csv by condition")
    p("")
    p("| | load (csv_load) | load with detection (csv_load_ex) | load of the UTF-16 copy "
      "(csv_load_ex) | all rows as JSON | peak RSS after load | read + memchr |")
    p("|---|---|---|---|---|---|---|")
    for t in ours:
        p(f"| {label_of[t]} | {fmt_s(fig.time('mixed', t, 'load'))} | "
          f"{fmt_s(fig.time('mixed', t + ':load_ex', 'load'))} | "
          f"{fmt_s(fig.time('mixed_utf16', t, 'load'))} | {fmt_s(fig.time('mixed', t, 'rows'))} | "
          f"{fmt_mb(fig.rss('mixed', t))} | {fmt_s(fig.time('mixed', t + ':floor', 'floor'))} |")
    if fig.runs("mixed", "polars"):
        p(f"| {label_of['polars']} | {fmt_s(fig.time('mixed', 'polars', 'load'))} | | "
          f"{fmt_s(fig.time('mixed_utf16', 'polars', 'load'))} | "
          f"{fmt_s(fig.time('mixed', 'polars', 'rows'))} | {fmt_mb(fig.rss('mixed', 'polars'))} | |")
    p("")


def report_targets(p, fig, ours, label_of, small):
    """Each target's ratio for each of our tools, and whether it is met."""
    p("### Targets")
    p("")
    p("| figure | goal | " + " | ".join(label_of[t] for t in ours) + " |")
    p("|---" * (len(ours) + 2) + "|")
    for entry in TARGETS:
        label, _, _, versus, goal = entry
        cells = []
        for t in ours:
            v = fig.target(t, entry)
            if v is None:
                cells.append("n/a")
                continue
            r = v[0] / v[1]
            shown = f"{r:.1f} MB" if versus == "rss" else f"{r:.2f}x"
            cells.append(f"{shown} ({'met' if r <= goal else 'missed'})")
        shown_goal = f"at most {goal} MB" if versus == "rss" else f"at most {goal}x"
        if versus == "rss" and small:
            shown_goal += " (full-size data only)"
        p(f"| {label} | {shown_goal} | " + " | ".join(cells) + " |")
    p("")


def report_cpu(p, fig, names, ours, peers, datasets, label_of):
    # CPU time shows the work done on all threads, and is less disturbed by
    # other load on the machine than wall time.
    p("### CPU time (user + system, all threads), median")
    p("")
    p("| data set, operation | " + " | ".join(label_of[t] for t in names) +
      " | ratio to least peer CPU |")
    p("|---" * (len(names) + 2) + "|")
    for ds in datasets:
        for op in ds["ops"] + ds.get("apart", []):
            vals = {t: fig.time(ds["name"], t, op, "cpu") for t in names}
            row = [f"{ds['file']} {op}"] + [fmt_s(vals[t]) for t in names]
            row.append(ratio_cell([vals[t] for t in ours], {t: vals[t] for t in peers}, label_of))
            p("| " + " | ".join(row) + " |")
    p("")


def summarise(results, tools, datasets, versions, env_info, reps_used, small=False):
    label_of = {t[0]: t[1] for t in tools}
    names = [t[0] for t in tools]
    ours = [t for t in names if is_ours(t)]
    peers = [t for t in names if not is_ours(t)]
    fig = Figures(results)
    lines = []
    p = lines.append
    report_header(p, env_info, versions, reps_used, label_of, small)
    report_tables(p, fig, names, ours, peers, datasets, label_of, small)
    report_conditions(p, fig, ours, label_of)
    report_targets(p, fig, ours, label_of, small)
    report_cpu(p, fig, names, ours, peers, datasets, label_of)
    base = {t: median([v for v in (fig.rss(d["name"], t, "rss_base_kb") for d in datasets)
                       if v is not None]) for t in names}
    p("Runtime RSS before the load (included in the peaks above): " +
      ", ".join(f"{label_of[t]} {fmt_mb(base[t])}" for t in names) + ".")
    for t in ours:
        # The host's own word on the condition it ran in.
        seen = sorted({r["thp_enabled"] for d in datasets for r in fig.runs(d["name"], t)
                       if "thp_enabled" in r})
        if seen:
            p(f"{label_of[t]}: THP_enabled in /proc/self/status: "
              f"{', '.join(str(x) for x in seen)}.")
    failures = [(ds, t, e) for ds, per in results.items() for t, v in per.items()
                for e in v.get("errors", [])]
    if failures:
        p("")
        p("Failed runs (shown as n/a or left out of the medians):")
        for ds, t, e in failures:
            p(f"- {ds} / {label_for(t, label_of)}: {e}")
    return "\n".join(lines)


def check_agreement(results, datasets, label_of):
    """Compares what the tools found: counts, search hits, sort ends, stats."""
    problems = []
    for ds in datasets:
        per = results.get(ds["name"], {})
        infos = {t: v["runs"][0]["info"] for t, v in per.items() if v.get("runs")}
        ref_name = next((t for t in ("velmora", "velmora" + NO_THP) if t in infos), None)
        if ref_name is None:
            continue
        ref = infos[ref_name]
        for t, info in infos.items():
            if t == ref_name:
                continue
            for k in ("rows", "cols", "search_hits", "sort_first", "sort_last"):
                if k in ref and k in info and str(ref[k]) != str(info[k]):
                    problems.append(f"{ds['name']}: {label_for(t, label_of)} {k}={info[k]}, "
                                    f"velmora-csv {ref[k]}")
            if "stats" in ref and "stats" in info:
                for a, b in zip(ref["stats"]["columns"], info["stats"]["columns"]):
                    for k in ("count", "nulls", "unique", "numeric", "min", "max", "mean"):
                        x, y = a.get(k), b.get(k)
                        same = (x == y if not isinstance(x, float) or y is None
                                else abs(x - y) <= 1e-9 * max(1.0, abs(x)))
                        if not same:
                            problems.append(f"{ds['name']}: {label_for(t, label_of)} stats "
                                            f"{a['name']}.{k}="
                                            f"{y}, velmora-csv {x}")
    return problems


def machine_info():
    cpu = platform.processor() or "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return {"cpu": cpu, "cores": os.cpu_count(), "mem_gib": round(mem),
            "load_start": "%.2f %.2f %.2f" % os.getloadavg(),
            "thp": thp_setting("enabled"), "thp_defrag": thp_setting("defrag")}


def thp_setting(name):
    """The kernel's transparent huge page setting, e.g. "madvise", or "n/a"."""
    try:
        text = open(f"/sys/kernel/mm/transparent_hugepage/{name}").read()
    except OSError:
        return "n/a"
    chosen = [w.strip("[]") for w in text.split() if w.startswith("[")]
    return chosen[0] if chosen else text.strip()


def plan_runs(ds, tools, usable, args, host, node):
    """The fresh-process runs of one data set: (slot, label, command, threads,
    repetitions, THP off), our extra runs right after the tool they belong to."""
    plan = []
    for name, label, kind, threads, reps in tools:
        base = name[:-len(NO_THP)] if name.endswith(NO_THP) else name
        if not usable.get(base):
            continue
        no_thp = name != base
        n = 1 if args.quick else (args.reps or reps)
        if ds["name"] in ("numeric", "text50") and base in SLOW_REPS and not args.reps:
            n = min(n, SLOW_REPS[base])
        opts = ["--no-thp"] if no_thp and kind == "host" else []
        plan.append((name, label, tool_command(kind, host, node, ds, threads, ds["ops"], opts),
                     threads, n, no_thp))
        if kind in APART_RUNNERS:
            for op in ds.get("apart", []):
                plan.append((f"{name}:{op}", f"{label} [{op}]",
                             tool_command(kind, host, node, ds, threads, [op], opts),
                             threads, n, no_thp))
        if kind != "host":
            continue
        for key, extra_opts, ops in EXTRAS.get(ds["name"], []):
            plan.append((f"{name}:{key}", f"{label} [{key}]",
                         tool_command(kind, host, node, ds, threads, ops, opts + extra_opts),
                         threads, n, no_thp))
    return plan


def parse_args():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build-dir", default=os.path.join(ROOT, "build-compare"),
                    help="where the library is built in Release mode (default build-compare)")
    ap.add_argument("--quick", action="store_true", help="one repetition of everything")
    ap.add_argument("--small", action="store_true",
                    help=f"data sets of 1/{SMALL_DIVIDE} the rows, in bench/data/small (trial runs)")
    ap.add_argument("--reps", type=int, help="repetitions for every tool")
    ap.add_argument("--tools", help="comma-separated subset of: " + ",".join(t[0] for t in TOOLS))
    ap.add_argument("--datasets", help="comma-separated subset of: " +
                    ",".join(d["name"] for d in DATASETS))
    ap.add_argument("--thp", choices=("both", "on", "off"), default="both",
                    help="run velmora-csv with transparent huge pages allowed (on), disabled "
                         "for the process (off), or both, side by side (default)")
    ap.add_argument("--no-thp", dest="thp", action="store_const", const="off",
                    help="the same as --thp off")
    ap.add_argument("--timeout", type=int, default=600, help="seconds allowed per process")
    ap.add_argument("--skip-install", action="store_true", help="no npm ci / apt-get")
    return ap.parse_args()


def main():
    global DATA
    args = parse_args()
    if args.small:
        DATA = SMALL_DATA

    env_info = machine_info()
    tools = [t for t in TOOLS if not args.tools or t[0] in args.tools.split(",")]
    if not any(t[0] == "velmora" for t in tools):
        tools.insert(0, TOOLS[0])
    tools = with_thp_variants(tools, args.thp)
    datasets = [d for d in DATASETS if not args.datasets or d["name"] in args.datasets.split(",")]
    label_of = {t[0]: t[1] for t in tools}

    gen, host = build_library(os.path.abspath(args.build_dir))
    os.environ["VELMORA_CSV_LIBRARY"] = os.path.join(os.path.abspath(args.build_dir),
                                                     "libvelmora-csv.so")
    generate_data(gen, SMALL_DIVIDE if args.small else 1)
    node = None if args.skip_install and not shutil.which("node") else (
        shutil.which("node") if args.skip_install else setup_node())
    have_pandas = run([PYTHON, "-c", "import pandas"]).returncode == 0 if args.skip_install \
        else setup_pandas()

    # Which peers can run at all; the others are n/a.
    usable = {"velmora": True, "pycsv": True, "pandas": have_pandas}
    usable["polars"] = usable["polars1"] = bool(node) and probe(
        [node, "-e", "require('nodejs-polars')"])
    usable["duckdb"] = bool(node) and probe([node, "-e", "require('@duckdb/node-api')"])
    usable["velmora_node"] = bool(node) and probe([node, "-e", "require('../../node').libraryPath()"])
    for t in tools:
        if not usable.get(t[0].removesuffix(NO_THP)):
            log(f"{t[1]}: not available, shown as n/a")
    versions = peer_versions(node)

    results = {}
    reps_used = {}
    t_start = time.time()
    for ds in datasets:
        warm_cache(os.path.join(DATA, ds["file"]))
        per = results.setdefault(ds["name"], {})
        plan = plan_runs(ds, tools, usable, args, host, node)
        for slot_name, _, _, _, n, _ in plan:
            reps_used.setdefault(ds["name"], {})[slot_name] = n
        # Interleave the tools so that a burst of other load hits all alike.
        for rep in range(max((p[4] for p in plan), default=0)):
            for slot_name, label, cmd, threads, n, no_thp in plan:
                if rep >= n:
                    continue
                log(f"{ds['name']}: {label} run {rep + 1}/{n}")
                res, err = run_once(cmd, threads, args.timeout, no_thp)
                slot = per.setdefault(slot_name, {"runs": [], "errors": []})
                if res:
                    slot["runs"].append(res)
                else:
                    slot["errors"].append(err)
                    log(f"  failed: {err}")
    env_info["load_end"] = "%.2f %.2f %.2f" % os.getloadavg()
    log(f"all runs took {time.time() - t_start:.0f} s")

    report = summarise(results, tools, datasets, versions, env_info, reps_used, args.small)
    problems = check_agreement(results, datasets, label_of)
    report += "\n\n" + ("Cross-check: every tool found the same row and column counts, search hits, "
                        "sort ends and column statistics." if not problems else
                        "Cross-check differences:\n" + "\n".join("- " + x for x in problems))
    print(report)
    os.makedirs(RESULTS, exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    with open(os.path.join(RESULTS, f"compare-{stamp}.json"), "w") as f:
        json.dump({"env": env_info, "versions": versions, "thp": args.thp, "small": args.small,
                   "results": results}, f)
    with open(os.path.join(RESULTS, f"compare-{stamp}.md"), "w") as f:
        f.write(report + "\n")


if __name__ == "__main__":
    main()
