"""Shared pieces of the Python peer runners: options, clock, memory figures
and the one JSON line each run prints."""
import json
import sys
import time


def parse_args(argv):
    o = {"encoding": "utf8", "sep": ",", "ops": "load", "threads": "1"}
    for k, v in zip(argv[1::2], argv[2::2]):
        o[k.lstrip("-").replace("-", "_")] = v
    o["op_list"] = o["ops"].split(",")
    return o


def status_kb(key):
    """A "Vm...:" line of /proc/self/status in KiB, or -1."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


def timed(res, op, fn):
    """Runs fn, recording its wall seconds and the process's CPU seconds."""
    c0 = time.process_time()
    t0 = time.perf_counter()
    v = fn()
    res["times"][op] = time.perf_counter() - t0
    res.setdefault("cpu", {})[op] = time.process_time() - c0
    return v


def python_encoding(o):
    # The UTF-16 files start with a byte order mark, which "utf-16" reads.
    return "utf-8" if o["encoding"] == "utf8" else "utf-16"


def finish(res):
    sys.stdout.write(json.dumps(res, ensure_ascii=False) + "\n")
