"""Inspection: nodes() and to_dot() of a large store against baselines.

Builds one store of 1,000,000 nodes (sources, ops with 0-3 params and 1-3
inputs, reductions, exchanges and joins; one node in a hundred marked as an
output) and prints ns per node for:

- nodes(), next to the same list of dicts built in Python from prepared
  tuples (the ints, strs and params dicts already made; only the dicts and
  lists of the view are built);
- nodes() of the same store with every node marked, which must cost the
  same (the marks are looked up in a table, not searched);
- to_dot(), next to the same text joined in Python from prepared, already
  escaped labels, and to_dot() of the same store with a single output.

Each figure is the best of R runs, the measures interleaved. The cyclic
garbage collector is paused while a run is timed: its passes over the
millions of new containers would otherwise take most of the time on both
sides. The last column has the collector running, as a program would see it.

    python bench/bench_node_view.py [--nodes N] [--repeat R]
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


def timed(fn, arg, collector: bool) -> float:
    gc.collect()
    if not collector:
        gc.disable()
    try:
        start = time.perf_counter()
        result = fn(arg)
        elapsed = time.perf_counter() - start
    finally:
        gc.enable()
    del result  # freed outside the timed region
    return elapsed


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    n = args.nodes

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
    times = {(label, collector): float("inf") for label, _, _ in rows for collector in (False, True)}
    for _ in range(args.repeat):
        for collector in (False, True):
            for label, fn, arg in rows:
                key = (label, collector)
                times[key] = min(times[key], timed(fn, arg, collector))
    print(f"store: {n:,} nodes, {len(store.outputs()):,} outputs; best of {args.repeat}, in ns per node")
    print(f"{'measure':<34}{'gc paused':>10}{'gc on':>10}")
    for label, _, _ in rows:
        print(f"{label:<34}{times[label, False] / n * 1e9:>10.0f}{times[label, True] / n * 1e9:>10.0f}")
    for ours, base in (("nodes()", "python: same dicts from tuples"), ("to_dot()", "python: same DOT from labels")):
        ratios = [times[ours, c] / times[base, c] for c in (False, True)]
        print(f"{ours} / python baseline: {ratios[0]:.2f}x (gc paused), {ratios[1]:.2f}x (gc on)")


if __name__ == "__main__":
    main()
