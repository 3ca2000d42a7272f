"""Helpers shared by the benchmark scripts: timing and memory readings."""

import gc
import time


def best_of(repeat, fn):
    """The best wall time of repeat calls of fn, and the last result. The
    previous result is freed, and a collection run, outside the timed region."""
    best = float("inf")
    result = None
    for _ in range(repeat):
        result = None
        gc.collect()
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def proc_status(field: str) -> int:
    """A size field of /proc/self/status (VmRSS, VmHWM, ...) in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"{field} not in /proc/self/status")
