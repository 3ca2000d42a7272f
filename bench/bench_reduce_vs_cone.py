"""Reduction against the cone: what a reduction costs beyond copying out the
part of the graph its outputs depend on.

Builds mixed pipeline graphs of bench_reduce.py (same generator, same seed;
small graphs get fewer pipelines, about one per 50 nodes) from 4 to 1M
nodes and times, on each graph against its outputs:

    cone                 store.cone(outputs=...)            (the baseline)
    reduce               store.reduce(outputs=...)
    reduce maximal       store.reduce(maximal_fusion=True, outputs=...)
    reduce_incremental   store.reduce_incremental(outputs=...)
    reduction_report     store.reduction_report(outputs=...)
    step+finalize        IncrementalReducer(): step(store), finalize(store, outputs=...)

with the garbage collector on. Printed per size and call: the first call
(the first of its kind on that graph) and the best warm call (see
`bench_support.interleaved_best`: batches of at least 50 ms, every call in
turn, --rounds times), each call's warm ratio to the cone, and whether it
meets a ratio of at most --target (3 by default).

    python bench/bench_reduce_vs_cone.py [--sizes 4 10 100 1k 10k 100k 1M] [--rounds 5] [--target 3]
"""

import argparse
import time

import quorvel_core as qc
from bench_reduce import build_store, make_graph, parse_size
from bench_support import interleaved_best

DEFAULT_SIZES = ["4", "10", "100", "1k", "10k", "100k", "1M"]


def graph_for(n: int):
    g = make_graph(n, pipelines=max(1, min(200, n // 50)))
    if not g.outputs:
        g.outputs.append(len(g.rows) - 1)
    return g


def calls(store, outs):
    stepped = qc.IncrementalReducer()
    stepped.step(store)

    def step_finalize():
        reducer = qc.IncrementalReducer()
        reducer.step(store)
        return reducer.finalize(store, outputs=outs)

    return [
        ("cone", lambda: store.cone(outputs=outs)),
        ("reduce", lambda: store.reduce(outputs=outs)),
        ("reduce maximal", lambda: store.reduce(maximal_fusion=True, outputs=outs)),
        ("reduce_incremental", lambda: store.reduce_incremental(outputs=outs)),
        ("reduction_report", lambda: store.reduction_report(outputs=outs)),
        ("finalize", lambda: stepped.finalize(store, outputs=outs)),
        ("step+finalize", step_finalize),
    ]


# Calls printed for reference, with no target.
REFERENCE = {"step+finalize"}


def fmt(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} us"
    return f"{seconds * 1e3:.2f} ms"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", nargs="+", default=DEFAULT_SIZES, help="graph sizes in nodes (4 10 1k 1M ...)")
    parser.add_argument("--rounds", type=int, default=5, help="timed rounds per size (default 5)")
    parser.add_argument("--target", type=float, default=3.0, help="ratio to the cone to meet (default 3)")
    args = parser.parse_args()
    sizes = [parse_size(s) for s in args.sizes]
    rounds = args.rounds if max(sizes) < 500_000 else min(args.rounds, 3)

    misses = []
    print(f"{'nodes':>9} {'outputs':>7} {'call':<19}{'first':>11}{'warm':>11}{'/ cone':>8}  target {args.target:g}x")
    for n in sizes:
        g = graph_for(n)
        store = build_store(g)
        outs = g.outputs
        tasks = calls(store, outs)
        first = []
        for _, fn in tasks:
            start = time.perf_counter()
            fn()
            first.append(time.perf_counter() - start)
        best, _ = interleaved_best([fn for _, fn in tasks], rounds if n < 500_000 else min(rounds, 3))
        cone = best[0]
        for i, (name, _) in enumerate(tasks):
            ratio = best[i] / cone
            if i == 0:
                verdict = ""
            elif name in REFERENCE:
                verdict = "(reference)"
            else:
                verdict = "met" if ratio <= args.target else "not met"
                if ratio > args.target:
                    misses.append(f"{name} at {store.node_count():,} nodes ({ratio:.1f}x)")
            label = f"{store.node_count():>9,} {len(outs):>7}" if i == 0 else " " * 17
            print(f"{label} {name:<19}{fmt(first[i]):>11}{fmt(best[i]):>11}{ratio:>7.1f}x  {verdict}", flush=True)
    if misses:
        print(f"target {args.target:g}x not met: " + "; ".join(misses))
    else:
        print(f"target {args.target:g}x met by every call at every size")


if __name__ == "__main__":
    main()
