#!/usr/bin/env python3
"""Runs a command with transparent huge pages disabled for it and its children
(prctl(PR_SET_THP_DISABLE), kept across exec), as a host on a system with THP
off or on fragmented memory sees every large block: in 4 KiB pages.

    python3 bench/thp_off.py build/release/bench/velmora_bench --benchmark_filter=MixedFile
"""
import ctypes
import os
import sys

PR_SET_THP_DISABLE = 41  # <linux/prctl.h>

if len(sys.argv) < 2:
    sys.exit(__doc__)
libc = ctypes.CDLL(None, use_errno=True)
if libc.prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0:
    sys.exit("prctl(PR_SET_THP_DISABLE) failed: " + os.strerror(ctypes.get_errno()))
os.execvp(sys.argv[1], sys.argv[1:])
