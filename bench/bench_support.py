"""Helpers shared by the benchmark scripts: timing and memory readings."""

import gc
import math
import time


def first_and_best(repeat, fn):
    """The first call's time, the best of repeat calls, and the last
    result. The previous result is freed, and a collection run, outside the
    timed region."""
    times = []
    result = None
    for _ in range(repeat):
        result = None
        gc.collect()
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return times[0], min(times), result


def best_of(repeat, fn):
    """The best wall time of repeat calls of fn, and the last result (see
    first_and_best)."""
    _, best, result = first_and_best(repeat, fn)
    return best, result


def interleaved_best(tasks, rounds, min_batch=0.05):
    """The best time per call of each of tasks (callables), and each one's
    last result. Every sample is a batch of consecutive calls lasting at
    least min_batch seconds (one call of a slow task; as many calls of a
    fast one as fill the time), and the tasks are sampled in turn, rounds
    times over: each task gets as many samples as the others, each sample
    as long, and slow drift in the machine's speed reaches all tasks alike.
    (The best of many short samples against the best of a few long ones
    would favour the fast task.) Results of a batch stay alive until it
    ends; they are freed, and a collection run, outside the timed region."""
    # A warm-up call, then a timed one that sets the batch size; neither
    # result is kept, so that none stays alive while other tasks are timed.
    results = [None] * len(tasks)
    batches = []
    for fn in tasks:
        fn()
        start = time.perf_counter()
        fn()
        once = time.perf_counter() - start
        batches.append(max(1, math.ceil(min_batch / once)) if once > 0 else 1)
    best = [float("inf")] * len(tasks)
    for _ in range(rounds):
        for i, fn in enumerate(tasks):
            kept = []
            gc.collect()
            start = time.perf_counter()
            for _ in range(batches[i]):
                kept.append(fn())
            elapsed = (time.perf_counter() - start) / batches[i]
            best[i] = min(best[i], elapsed)
            results[i] = kept[-1]
            del kept
    return best, results


def proc_status(field: str) -> int:
    """A size field of /proc/self/status (VmRSS, VmHWM, ...) in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"{field} not in /proc/self/status")
