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

    python bench/bench_node_view.py [--sizes N ...] [--repeat R]
"""

import argparse
import gc
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


def measure(n: int, repeat: int) -> dict:
    """ns per node of every measure on a store of n nodes."""
    store = marked(build_store(n), list(range(0, n, 100)))
    every = marked(store, list(range(n)))
    single = marked(store, [n - 1])
    view = store.nodes()
    assert len(view) == n and every.nodes()[n // 2]["output"]
    prepared = [(e["id"], e["output"], tuple(e["inputs"]), e["kind"], e["name"], e["params"]) for e in view]
    assert python_nodes(prepared) == view
    dot = store.to_dot()
    # The labels as the DOT text carries them, cut out of the text itself.
    labels = [line.split('[label="', 1)[1].rsplit('"', 1)[0] for line in dot.splitlines()[1:n + 1]]
    prepared_dot = [(labels[i], e["output"], e["inputs"]) for i, e in enumerate(view)]
    assert python_dot(prepared_dot) == dot
    del view, dot, labels

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


if __name__ == "__main__":
    main()
