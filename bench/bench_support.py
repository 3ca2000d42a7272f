"""Helpers shared by the benchmark scripts: timing and memory readings."""

import gc
import time


def best_of(repeat, fn, min_time=0.0):
    """The best wall time of at least repeat calls of fn, and the last
    result; calls go on until they have taken min_time seconds in all, so
    that a call of a few milliseconds is sampled as often as a long one.
    The previous result is freed, and a collection run, outside the timed
    region."""
    best = float("inf")
    result = None
    calls = 0
    spent = 0.0
    while calls < repeat or spent < min_time:
        result = None
        gc.collect()
        start = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - start
        best = min(best, elapsed)
        spent += elapsed
        calls += 1
    return best, result


def proc_status(field: str) -> int:
    """A size field of /proc/self/status (VmRSS, VmHWM, ...) in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"{field} not in /proc/self/status")
