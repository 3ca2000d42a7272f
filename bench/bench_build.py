"""Graph building: quorvel_core against a pure-Python interner and a floor.

Builds the same 1,000,000-node graph (sources, ops with 0-3 params and 1-3
inputs, about 20% exact duplicates) three ways in one run and prints ns per
node and the ratios, then the memory a store needs per typical op node.

    python bench/bench_build.py [--nodes N]
"""

import argparse
import gc
import random
import subprocess
import sys
import time

import quorvel_core as qc


def python_key(kind, name, inputs, params):
    # The value's type is part of the key: True, 1 and 1.0 are different
    # parameters, as in the store.
    return (kind, name, tuple(sorted((k, type(v), v) for k, v in params.items())) if params else (), tuple(inputs))


def make_calls(n: int, seed: int = 7) -> list[tuple[int, str, list[int], dict | None]]:
    rng = random.Random(seed)
    names = ["parse", "filter", "scale", "add", "mul", "join_k", "window", "cast"]
    calls: list[tuple[int, str, list[int], dict | None]] = []
    distinct: list[tuple[int, str, list[int], dict | None]] = []
    seen: set = set()
    produced = 0  # distinct nodes so far: the ids inputs may name
    while len(calls) < n:
        if distinct and rng.random() < 0.2:
            calls.append(rng.choice(distinct))  # an exact duplicate
            continue
        if produced < 10 or rng.random() < 0.05:
            call = (0, f"src{produced}", [], {"path": f"/data/{produced}"} if rng.random() < 0.5 else None)
        else:
            k = rng.randint(0, 3)
            params = {f"p{j}": rng.choice([rng.randint(0, 9), rng.random(), "fast", True]) for j in range(k)}
            inputs = [rng.randrange(max(0, produced - 50), produced) for _ in range(rng.randint(1, 3))]
            call = (1, rng.choice(names), inputs, params or None)
        key = python_key(*call)
        calls.append(call)
        if key not in seen:
            seen.add(key)
            distinct.append(call)
            produced += 1
    return calls


def build_quorvel(calls):
    store = qc.GraphStore()
    add_source, add_op = store.add_source, store.add_op
    for kind, name, inputs, params in calls:
        if kind == 0:
            add_source(name, params)
        else:
            add_op(name, inputs, params)
    return store


def build_python(calls):
    index: dict = {}
    for kind, name, inputs, params in calls:
        n = len(index)
        for i in inputs:
            if i >= n:
                raise ValueError(f"no node with id {i}")
        key = python_key(kind, name, inputs, params)
        if key not in index:
            index[key] = n
    return index


def build_floor(calls):
    count = 0
    for kind, name, inputs, params in calls:
        count += len(inputs)
    return count


def timed(fn, calls, repeat):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        built = fn(calls)
        best = min(best, time.perf_counter() - start)
        del built  # what was built is freed outside the timed region
    return best


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def memory_per_op_node(n: int) -> float:
    gc.collect()
    before = rss_bytes()
    store = qc.GraphStore()
    base = store.add_source("source")
    add_op = store.add_op
    for i in range(n):
        # a typical op node: a 6-character name, 2 params, 2 inputs
        add_op("scaled", [i, base], {"factor": i, "mode": "fast"})
    gc.collect()
    used = rss_bytes() - before
    assert store.node_count() == n + 1
    return used / n


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--memory-only", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_only:
        print(memory_per_op_node(args.nodes))
        return
    calls = make_calls(args.nodes)
    distinct = len(build_python(calls))
    assert build_quorvel(calls).node_count() == distinct
    print(f"graph: {len(calls):,} add calls, {distinct:,} distinct nodes "
          f"({100 * (1 - distinct / len(calls)):.1f}% duplicates)")
    rows = [("quorvel_core", build_quorvel), ("pure-Python interner", build_python), ("floor (trivial builtin)", build_floor)]
    times = {label: timed(fn, calls, args.repeat) for label, fn in rows}
    q = times["quorvel_core"]
    print(f"{'builder':<26}{'ns/node':>10}{'vs quorvel_core':>18}")
    for label, _ in rows:
        t = times[label]
        print(f"{label:<26}{t / len(calls) * 1e9:>10.0f}{t / q:>17.2f}x")
    print(f"speed-up over the pure-Python interner: {times['pure-Python interner'] / q:.2f}x")
    # Measured in a fresh interpreter, so memory freed by the runs above
    # does not hide what the store takes.
    per_node = float(subprocess.run([sys.executable, __file__, "--memory-only", "--nodes", str(args.nodes)],
                                    check=True, capture_output=True, text=True).stdout)
    verdict = "met" if per_node <= 100 else "NOT met"
    print(f"memory: {per_node:.0f} bytes per typical op node (store of {args.nodes:,} such nodes; "
          f"target <= 100: {verdict})")


if __name__ == "__main__":
    main()
