"""Inspection: nodes() and to_dot() of a large store against baselines.

Builds stores of N nodes (sources, ops with 0-3 params and 1-3
inputs, reductions, exchanges and joins; one node in a hundred marked as an
output) and prints ns per node for:

- nodes(), next to the same list of dicts built in Python from prepared
  tuples (the ints, strs and params dicts already made; only the dicts and
  lists of the view are built);
- nodes() of the same store with every node marked, which must cost the
  same (the marks are looked up in a table, not searched);
- to_dot(), next to the same text joined in Python from prepared, already
  escaped labels, and to_dot() of the same store with a single output.

Each figure is the best of R runs, the measures interleaved, at each of
the sizes (1,000 and 1,000,000 nodes by default; a small store is timed
over enough calls to last). Three columns (see MODES): the cyclic garbage
collector paused; running, the call alone, as a program that times the
call sees it; and running, the call with the collection of the young
generations that it leaves due. Then the targets for both running columns:
nodes() per node at the largest size against the smallest, and against the
same dicts built in Python.

Last, the floor that fresh memory puts under the first target: the bytes
per node that the largest view adds to the resident set, and what mapping
and touching that many fresh bytes costs on this machine with nothing else
done (a large view's objects land in memory the process has not used yet,
so the kernel maps, zeroes and charges every page of it; a small view's
reuse the pages the previous call freed). Adding that cost to the smallest
size's ns per node gives the lowest ratio any builder of these dicts can
reach here.

    python bench/bench_node_view.py [--sizes N ...] [--repeat R]
"""

import argparse
import gc
import mmap
import os
import pickle
import random
import time

import quorvel_core as qc


def build_store(n: int, seed: int = 11) -> qc.GraphStore:
    rng = random.Random(seed)
    names = ["parse", "filter", "scale", "add", "mul", "join_k", "window", "cast"]
    store = qc.GraphStore()
    add_source, add_op, add_reduction = store.add_source, store.add_op, store.add_reduction
    add_exchange, add_join = store.add_exchange, store.add_join
    while store.node_count() < n:
        count = store.node_count()
        r = rng.random()
        if count < 10 or r < 0.04:
            add_source(f"src{count}", {"path": f"/data/{count}"} if rng.random() < 0.5 else None)
            continue

        def pick() -> int:
            return rng.randrange(max(0, count - 50), count)

        if r < 0.06:
            add_exchange([pick()], {"scheme": "hash", "key": "k"})
        elif r < 0.08:
            add_join([pick(), pick()], {"how": "inner"})
        elif r < 0.12:
            add_reduction("sum", [pick()], {"axis": rng.randint(0, 3)})
        else:
            k = rng.randint(0, 3)
            params = {f"p{j}": rng.choice([rng.randint(0, 9), rng.random(), "fast", True]) for j in range(k)}
            add_op(rng.choice(names), [pick() for _ in range(rng.randint(1, 3))], params or None)
    return store


def marked(store: qc.GraphStore, outputs: list[int]) -> qc.GraphStore:
    return qc.GraphStore.deserialize(store.serialize(outputs))


def python_nodes(prepared):
    return [{"id": i, "output": o, "inputs": [*inputs], "kind": k, "name": name, "params": {**params}}
            for i, o, inputs, k, name, params in prepared]


def dot_escape(label: str) -> str:
    return label.replace("\\", "\\\\").replace('"', '\\"')


def python_dot(prepared):
    parts = ["digraph quorvel {\n"]
    parts += [f'  n{i} [label="{label}"{", shape=doublecircle" if out else ""}];\n'
              for i, (label, out, _) in enumerate(prepared)]
    parts += [f"  n{k} -> n{i};\n" for i, (_, _, inputs) in enumerate(prepared) for k in inputs]
    parts.append("}\n")
    return "".join(parts)


# The three ways a call is timed: with the collector paused; with it on,
# the call alone (what a program timing the call sees); and with it on, the
# call followed by the collection of the young generations that the call's
# allocations leave due (work the call defers to its caller: containers
# built hidden from the collector and shown to it at the end are scanned by
# that collection instead).
MODES = ("gc paused", "gc on", "gc on + young")


def timed(fn, arg, mode: str) -> float:
    """The time of one call of fn(arg) in one of the MODES."""
    gc.collect()
    if mode == "gc paused":
        gc.disable()
    try:
        start = time.perf_counter()
        result = fn(arg)
        if mode == "gc on + young":
            gc.collect(1)
        elapsed = time.perf_counter() - start
    finally:
        gc.enable()
    del result  # freed outside the timed region
    return elapsed


def resident_bytes() -> int | None:
    """The resident set of this process, where the system reports it."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * mmap.PAGESIZE
    except OSError:
        return None


def view_bytes_per_node(store: qc.GraphStore) -> float | None:
    """Resident-set growth per node while one view of the store is held."""
    gc.collect()
    before = resident_bytes()
    view = store.nodes()
    after = resident_bytes()
    if before is None or after is None:
        return None
    return (after - before) / len(view)


def fresh_memory_ns(size: int, repeat: int) -> float:
    """Best time, in ns, to map size fresh bytes and touch every page once."""
    pages = max(1, size // mmap.PAGESIZE)
    ones = b"\1" * pages
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        # Private, as the interpreter maps its arenas (shared anonymous
        # memory faults at a higher cost).
        block = mmap.mmap(-1, pages * mmap.PAGESIZE, flags=mmap.MAP_PRIVATE)
        block[::mmap.PAGESIZE] = ones
        best = min(best, time.perf_counter() - start)
        block.close()
    return best * 1e9


def measure(n: int, repeat: int) -> dict:
    """ns per node of every measure on a store of n nodes."""
    store = marked(build_store(n), list(range(0, n, 100)))
    every = marked(store, list(range(n)))
    single = marked(store, [n - 1])
    view = store.nodes()
    assert len(view) == n and every.nodes()[n // 2]["output"]
    # The baselines' inputs are copies that share no object with the view:
    # objects of the view kept alive would keep its memory mapped for the
    # calls timed later, which would then fill its holes instead of fresh
    # memory.
    prepared = pickle.loads(pickle.dumps(
        [(e["id"], e["output"], tuple(e["inputs"]), e["kind"], e["name"], e["params"]) for e in view]))
    assert python_nodes(prepared) == view
    dot = store.to_dot()
    # The labels as the DOT text carries them, cut out of the text itself.
    labels = [line.split('[label="', 1)[1].rsplit('"', 1)[0] for line in dot.splitlines()[1:n + 1]]
    prepared_dot = [(labels[i], output, inputs) for i, (_, output, inputs, *_) in enumerate(prepared)]
    assert python_dot(prepared_dot) == dot
    del view, dot, labels
    gc.collect()

    rows = [
        ("nodes()", lambda s: s.nodes(), store),
        ("python: same dicts from tuples", python_nodes, prepared),
        ("nodes(), every node marked", lambda s: s.nodes(), every),
        ("to_dot()", lambda s: s.to_dot(), store),
        ("python: same DOT from labels", python_dot, prepared_dot),
        ("to_dot(), a single output", lambda s: s.to_dot(), single),
    ]
    # Small stores are timed over many calls, so that every sample lasts.
    calls = max(1, 200_000 // n)
    times = {(label, mode): float("inf") for label, _, _ in rows for mode in MODES}
    for _ in range(repeat):
        for mode in MODES:
            for label, fn, arg in rows:
                key = (label, mode)
                total = sum(timed(fn, arg, mode) for _ in range(calls))
                times[key] = min(times[key], total / calls / n * 1e9)
    print(f"store: {n:,} nodes, {len(store.outputs()):,} outputs; best of {repeat}, in ns per node")
    print(f"{'measure':<34}" + "".join(f"{mode:>15}" for mode in MODES))
    for label, _, _ in rows:
        print(f"{label:<34}" + "".join(f"{times[label, mode]:>15.0f}" for mode in MODES))
    for ours, base in (("nodes()", "python: same dicts from tuples"), ("to_dot()", "python: same DOT from labels")):
        ratios = ", ".join(f"{times[ours, mode] / times[base, mode]:.2f}x ({mode})" for mode in MODES)
        print(f"{ours} / python baseline: {ratios}")
    print()
    times["view bytes per node"] = view_bytes_per_node(store)
    return times


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000, 1_000_000])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    results = {n: measure(n, args.repeat) for n in args.sizes}
    small, large = min(args.sizes), max(args.sizes)
    for mode in ("gc on", "gc on + young"):
        if small != large:
            scale = results[large]["nodes()", mode] / results[small]["nodes()", mode]
            print(f"nodes(), {mode}: ns per node at {large:,} / at {small:,} nodes: {scale:.2f}x (target <= 1.5x: "
                  f"{'met' if scale <= 1.5 else 'NOT met'})")
        ratio = results[large]["nodes()", mode] / results[large]["python: same dicts from tuples", mode]
        print(f"nodes(), {mode}, {large:,} nodes: {ratio:.2f}x the same dicts built in Python (target <= 1.2x: "
              f"{'met' if ratio <= 1.2 else 'NOT met'})")
    per_node = results[large]["view bytes per node"]
    if small != large and per_node is not None and os.name == "posix":
        fresh = fresh_memory_ns(int(per_node * large), args.repeat) / large
        small_ns = results[small]["nodes()", "gc on"]
        print(f"fresh memory: the {large:,}-node view adds {per_node:.0f} bytes per node to the resident set; "
              f"mapping and touching that much fresh memory alone costs {fresh:.0f} ns per node, so no builder of "
              f"these dicts gets below {(small_ns + fresh) / small_ns:.2f}x at {large:,} / at {small:,} nodes "
              f"(gc on) on this machine")


if __name__ == "__main__":
    main()
