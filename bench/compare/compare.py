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
"""
import argparse
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
RESULTS = os.path.join(ROOT, "bench", "results")
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable

# The data sets and what is asked of each.
DATASETS = [
    {"name": "mixed", "file": "mixed.csv", "title": "1,000,000 rows x 10 mixed columns",
     "ops": ["load", "rows", "search", "sort", "stats"],
     "search_col": "comment", "query": "refund", "sort_col": "price"},
    {"name": "mixed_utf16", "file": "mixed_utf16.csv", "encoding": "utf16le", "sep": ";",
     "title": "the mixed table as UTF-16 LE with BOM, semicolon-separated", "ops": ["load"]},
    {"name": "numeric", "file": "numeric.csv", "title": "5,000,000 rows x 4 numeric columns",
     "ops": ["load", "sort", "stats"], "sort_col": "x"},
    {"name": "text50", "file": "text50.csv", "title": "200,000 rows x 50 short text columns",
     "ops": ["load", "rows"]},
]

OP_LABEL = {
    "load": "load into memory",
    "rows": "all rows as JSON objects",
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


def generate_data(gen):
    """Writes the data sets unless the ones there came from this generator."""
    with open(os.path.join(HERE, "gen_data.cpp"), "rb") as f:
        stamp = hashlib.sha256(f.read()).hexdigest()
    stamp_file = os.path.join(DATA, ".gen_data.sha256")
    have = open(stamp_file).read().strip() if os.path.exists(stamp_file) else ""
    files = [os.path.join(DATA, d["file"]) for d in DATASETS]
    if have == stamp and all(os.path.exists(p) for p in files):
        return
    os.makedirs(DATA, exist_ok=True)
    log("generating data sets into bench/data/ ...")
    t0 = time.time()
    r = run([gen, DATA])
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

def tool_command(kind, host, node, ds, threads, ops):
    args = ["--file", os.path.join(DATA, ds["file"]), "--encoding", ds.get("encoding", "utf8"),
            "--sep", ds.get("sep", ","), "--ops", ",".join(ops), "--threads", str(threads)]
    for k in ("search_col", "query", "sort_col"):
        if k in ds:
            args += ["--" + k.replace("_", "-"), ds[k]]
    if kind == "host":
        return [host] + args
    lang, script = kind.split(":")
    if lang == "node":
        return [node, os.path.join(HERE, script)] + args
    return [PYTHON, os.path.join(HERE, script)] + args


def run_once(cmd, threads, timeout):
    env = dict(os.environ, POLARS_MAX_THREADS=str(threads), OMP_NUM_THREADS="1")
    t0 = time.time()
    try:
        r = subprocess.run(cmd, cwd=HERE, env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, f"timed out after {timeout} s"
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


def ratio_cell(ours, peers, label_of):
    """ours / best peer, with the best peer's name; below 1 means faster."""
    avail = [(v, t) for t, v in peers.items() if v is not None]
    if ours is None or not avail:
        return "n/a"
    best, who = min(avail)
    return f"{ours / best:.2f} ({label_of[who]})"


def summarise(results, tools, datasets, versions, env_info, reps_used):
    label_of = {t[0]: t[1] for t in tools}
    # The Node.js package runs the same library: shown, but not a peer.
    peers = [t[0] for t in tools if t[0] not in ("velmora", "velmora_node")]
    names = [t[0] for t in tools]
    lines = []
    p = lines.append
    p("## velmora-csv against the usual choices")
    p("")
    p(f"- machine: {env_info['cpu']}, {env_info['cores']} cores, {env_info['mem_gib']} GiB; "
      f"load average at start {env_info['load_start']}, at end {env_info['load_end']}")
    p("- versions: " + ", ".join(f"{k} {v}" for k, v in versions.items()))
    p("- every figure: median wall time of fresh-process runs; repetitions per data set: " +
      "; ".join(f"{ds} " + ", ".join(f"{label_of[t]} {n}" for t, n in per.items())
                for ds, per in reps_used.items()))
    p("- ratio = velmora-csv time / best peer time (below 1: velmora-csv is faster); "
      "peak RSS = VmHWM of the process right after the load, runtime included")
    p("")

    def cell(ds, tool, op, key="times"):
        runs = results.get(ds, {}).get(tool, {}).get("runs", [])
        vals = [r[key][op] for r in runs if op in r.get(key, {})]
        return median(vals)

    def rss(ds, tool, key="rss_load_kb"):
        runs = results.get(ds, {}).get(tool, {}).get("runs", [])
        vals = [r[key] for r in runs if r.get(key, -1) >= 0]
        return median(vals)

    header = "| operation | " + " | ".join(label_of[t] for t in names) + " | ratio to best peer |"
    sep = "|---" * (len(names) + 2) + "|"
    # The UTF-16 copy is shown inside the table of the UTF-8 file when both ran.
    has_mixed = any(d["name"] == "mixed" for d in datasets)
    table_sets = [d for d in datasets if d["name"] != "mixed_utf16" or not has_mixed]
    utf16 = next((d for d in datasets if d["name"] == "mixed_utf16"), None)
    for ds in table_sets:
        size = os.path.getsize(os.path.join(DATA, ds["file"])) / 1e6
        p(f"### {ds['file']}: {ds['title']} ({size:.0f} MB)")
        p("")
        p(header)
        p(sep)
        for op in ds["ops"]:
            vals = {t: cell(ds["name"], t, op) for t in names}
            row = [OP_LABEL[op]] + [fmt_s(vals[t]) for t in names]
            row.append(ratio_cell(vals["velmora"], {t: vals[t] for t in peers}, label_of))
            p("| " + " | ".join(row) + " |")
            if op == "load":
                mem = {t: rss(ds["name"], t) for t in names}
                row = ["peak RSS after load"] + [fmt_mb(mem[t]) for t in names]
                row.append(ratio_cell(mem["velmora"], {t: mem[t] for t in peers}, label_of))
                p("| " + " | ".join(row) + " |")
                if ds["name"] == "mixed" and utf16 is not None:
                    u = {t: cell("mixed_utf16", t, "load") for t in names}
                    row = ["load the UTF-16 LE copy (;)"] + [fmt_s(u[t]) for t in names]
                    row.append(ratio_cell(u["velmora"], {t: u[t] for t in peers}, label_of))
                    p("| " + " | ".join(row) + " |")
                    um = {t: rss("mixed_utf16", t) for t in names}
                    row = ["peak RSS after UTF-16 load"] + [fmt_mb(um[t]) for t in names]
                    row.append(ratio_cell(um["velmora"], {t: um[t] for t in peers}, label_of))
                    p("| " + " | ".join(row) + " |")
        p("")
    # CPU time shows the work done on all threads, and is less disturbed by
    # other load on the machine than wall time.
    p("### CPU time (user + system, all threads), median")
    p("")
    p("| data set, operation | " + " | ".join(label_of[t] for t in names) +
      " | ratio to least peer CPU |")
    p("|---" * (len(names) + 2) + "|")
    for ds in datasets:
        for op in ds["ops"]:
            vals = {t: cell(ds["name"], t, op, "cpu") for t in names}
            row = [f"{ds['file']} {op}"] + [fmt_s(vals[t]) for t in names]
            row.append(ratio_cell(vals["velmora"], {t: vals[t] for t in peers}, label_of))
            p("| " + " | ".join(row) + " |")
    p("")
    base = {t: median([v for v in (rss(d["name"], t, "rss_base_kb") for d in datasets)
                       if v is not None]) for t in names}
    p("Runtime RSS before the load (included in the peaks above): " +
      ", ".join(f"{label_of[t]} {fmt_mb(base[t])}" for t in names) + ".")
    if utf16 is not None and has_mixed:
        a, b = cell("mixed_utf16", "velmora", "load"), cell("mixed", "velmora", "load")
        if a and b:
            p(f"velmora-csv: csv_load_ex on the UTF-16 copy takes {a / b:.2f}x the time of "
              f"csv_load on the UTF-8 file.")
    failures = [(ds, t, e) for ds, per in results.items() for t, v in per.items()
                for e in v.get("errors", [])]
    if failures:
        p("")
        p("Failed runs (shown as n/a or left out of the medians):")
        for ds, t, e in failures:
            p(f"- {ds} / {label_of[t]}: {e}")
    return "\n".join(lines)


def check_agreement(results, datasets, label_of):
    """Compares what the tools found: counts, search hits, sort ends, stats."""
    problems = []
    for ds in datasets:
        per = results.get(ds["name"], {})
        infos = {t: v["runs"][0]["info"] for t, v in per.items() if v.get("runs")}
        if "velmora" not in infos:
            continue
        ref = infos["velmora"]
        for t, info in infos.items():
            if t == "velmora":
                continue
            for k in ("rows", "cols", "search_hits", "sort_first", "sort_last"):
                if k in ref and k in info and str(ref[k]) != str(info[k]):
                    problems.append(f"{ds['name']}: {label_of[t]} {k}={info[k]}, velmora-csv {ref[k]}")
            if "stats" in ref and "stats" in info:
                for a, b in zip(ref["stats"]["columns"], info["stats"]["columns"]):
                    for k in ("count", "nulls", "unique", "numeric", "min", "max", "mean"):
                        x, y = a.get(k), b.get(k)
                        same = (x == y if not isinstance(x, float) or y is None
                                else abs(x - y) <= 1e-9 * max(1.0, abs(x)))
                        if not same:
                            problems.append(f"{ds['name']}: {label_of[t]} stats {a['name']}.{k}="
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
            "load_start": "%.2f %.2f %.2f" % os.getloadavg()}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build-dir", default=os.path.join(ROOT, "build-compare"),
                    help="where the library is built in Release mode (default build-compare)")
    ap.add_argument("--quick", action="store_true", help="one repetition of everything")
    ap.add_argument("--reps", type=int, help="repetitions for every tool")
    ap.add_argument("--tools", help="comma-separated subset of: " + ",".join(t[0] for t in TOOLS))
    ap.add_argument("--datasets", help="comma-separated subset of: " +
                    ",".join(d["name"] for d in DATASETS))
    ap.add_argument("--timeout", type=int, default=600, help="seconds allowed per process")
    ap.add_argument("--skip-install", action="store_true", help="no npm ci / apt-get")
    args = ap.parse_args()

    env_info = machine_info()
    tools = [t for t in TOOLS if not args.tools or t[0] in args.tools.split(",")]
    if not any(t[0] == "velmora" for t in tools):
        tools.insert(0, TOOLS[0])
    datasets = [d for d in DATASETS if not args.datasets or d["name"] in args.datasets.split(",")]
    label_of = {t[0]: t[1] for t in TOOLS}

    gen, host = build_library(os.path.abspath(args.build_dir))
    os.environ["VELMORA_CSV_LIBRARY"] = os.path.join(os.path.abspath(args.build_dir),
                                                     "libvelmora-csv.so")
    generate_data(gen)
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
        if not usable.get(t[0]):
            log(f"{t[1]}: not available, shown as n/a")
    versions = peer_versions(node)

    results = {}
    reps_used = {}
    t_start = time.time()
    for ds in datasets:
        path = os.path.join(DATA, ds["file"])
        warm_cache(path)
        per = results.setdefault(ds["name"], {})
        plan = []
        for name, label, kind, threads, reps in tools:
            if not usable.get(name):
                continue
            n = 1 if args.quick else (args.reps or reps)
            if ds["name"] in ("numeric", "text50") and name in SLOW_REPS and not args.reps:
                n = min(n, SLOW_REPS[name])
            reps_used.setdefault(ds["name"], {})[name] = n
            plan.append((name, label, kind, threads, n))
        # Interleave the tools so that a burst of other load hits all alike.
        for rep in range(max((p[4] for p in plan), default=0)):
            for name, label, kind, threads, n in plan:
                if rep >= n:
                    continue
                cmd = tool_command(kind, host, node, ds, threads, ds["ops"])
                log(f"{ds['name']}: {label} run {rep + 1}/{n}")
                res, err = run_once(cmd, threads, args.timeout)
                slot = per.setdefault(name, {"runs": [], "errors": []})
                if res:
                    slot["runs"].append(res)
                else:
                    slot["errors"].append(err)
                    log(f"  failed: {err}")
    env_info["load_end"] = "%.2f %.2f %.2f" % os.getloadavg()
    log(f"all runs took {time.time() - t_start:.0f} s")

    report = summarise(results, tools, datasets, versions, env_info, reps_used)
    problems = check_agreement(results, datasets, label_of)
    report += "\n\n" + ("Cross-check: every tool found the same row and column counts, search hits, "
                        "sort ends and column statistics." if not problems else
                        "Cross-check differences:\n" + "\n".join("- " + x for x in problems))
    print(report)
    os.makedirs(RESULTS, exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    with open(os.path.join(RESULTS, f"compare-{stamp}.json"), "w") as f:
        json.dump({"env": env_info, "versions": versions, "results": results}, f)
    with open(os.path.join(RESULTS, f"compare-{stamp}.md"), "w") as f:
        f.write(report + "\n")


if __name__ == "__main__":
    main()
