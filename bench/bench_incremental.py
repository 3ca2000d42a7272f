"""Incremental reduction: `IncrementalReducer.step` while a graph is being
built, then `finalize`, against one `GraphStore.reduce` of the same store.

The graph is the mixed pipeline graph of bench_reduce.py (chains, fan-outs,
commutative operators in both orders, add-zero and multiply-by-one ops,
exact duplicates, dead branches, reductions, joins, exchanges, external
calls), about 1,000,000 nodes from a fixed seed. For each delta size the
store is built again from scratch and the reducer steps every time that many
new nodes have been added, so each step consumes exactly one delta. Only the
step calls are timed (one timer pair per call; the timer's own cost,
measured in the same run, is subtracted). The store is then finalized
against the graph's sinks.

Printed per delta size: the number of steps, their total time and cost per
node, the cost per node of each quarter of the graph (equal figures from
the first quarter to the last mean the total grows linearly with the node
count: a step never rescans what earlier steps built), total_work against
the node count, the canonical count, and the finalize time. Then one
`reduce` of the same store as the baseline, and both reports.

    python bench/bench_incremental.py [--nodes 1M] [--deltas 1 1000 100000] [--repeat 3]
"""

import argparse
import gc
import json
import sys
import time

import quorvel_core as qc
from bench_support import best_of
from bench_reduce import EXCHANGE, EXTERNAL, JOIN, OP, REDUCTION, SOURCE, make_graph, parse_size

QUARTERS = 4


def timer_overhead(samples: int = 200_000) -> float:
    """Seconds one perf_counter pair adds to a timed call."""
    clock = time.perf_counter
    best = float("inf")
    for _ in range(3):
        total = 0.0
        for _ in range(samples):
            start = clock()
            total += clock() - start
        best = min(best, total / samples)
    return best


def build_and_step(g, delta: int, overhead: float) -> dict:
    """Builds g's store call by call, stepping a reducer after every delta
    new nodes (and once at the end). Returns the store, the reducer and the
    step times, cumulated per quarter of the node count."""
    store, reducer = qc.GraphStore(), qc.IncrementalReducer()
    methods = {
        SOURCE: lambda name, inputs, params: store.add_source(name, params),
        OP: store.add_op,
        REDUCTION: store.add_reduction,
        EXCHANGE: lambda name, inputs, params: store.add_exchange(inputs, params),
        JOIN: lambda name, inputs, params: store.add_join(inputs, params),
        EXTERNAL: store.add_external,
    }
    n = len(g.rows)
    quarter_ends = [n * (q + 1) // QUARTERS for q in range(QUARTERS)]
    quarter_time = [0.0] * QUARTERS
    quarter_nodes = [0] * QUARTERS
    steps = consumed = count = 0
    clock, step = time.perf_counter, reducer.step

    def timed_step() -> None:
        nonlocal steps, consumed
        start = clock()
        got = step(store)
        elapsed = clock() - start - overhead
        # A step counts towards the quarter its last node falls in.
        quarter = min(q for q in range(QUARTERS) if consumed + got <= quarter_ends[q]) if got else 0
        quarter_time[quarter] += elapsed
        quarter_nodes[quarter] += got
        steps += 1
        consumed += got
        if got != delta and count != n:
            raise AssertionError(f"a step consumed {got} nodes, not {delta}")

    gc.collect()
    gc.disable()
    try:
        for kind, name, inputs, params, expected in g.calls:
            if methods[kind](name, inputs, params) == count:
                count += 1
                if count % delta == 0:
                    timed_step()
        if consumed != count:
            timed_step()
    finally:
        gc.enable()
    assert store.node_count() == n == consumed
    return {"store": store, "reducer": reducer, "steps": steps,
            "quarters": [t / max(k, 1) for t, k in zip(quarter_time, quarter_nodes)], "t_steps": sum(quarter_time)}




def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=parse_size, default=1_000_000, help="graph size (default 1M)")
    parser.add_argument("--deltas", nargs="+", type=parse_size, default=[1, 1_000, 100_000],
                        help="nodes per step (default 1 1000 100000)")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs of finalize and reduce, best kept")
    args = parser.parse_args()

    g = make_graph(args.nodes)
    n, outs = len(g.rows), g.outputs
    overhead = timer_overhead()
    print(f"quorvel_core {qc.version()}, Python {sys.version.split()[0]}; {n:,} nodes from {len(g.calls):,} "
          f"add calls, {len(outs)} outputs; timer overhead {overhead * 1e9:.0f} ns per step subtracted; "
          f"finalize and reduce best of {args.repeat}", flush=True)

    rows = []
    store = None
    for delta in args.deltas:
        store = None  # one store at a time
        run = build_and_step(g, delta, overhead)
        store, reducer = run["store"], run["reducer"]
        t_final, (final_store, final_report) = best_of(args.repeat, lambda: reducer.finalize(store, outputs=outs))
        assert reducer.total_work() == reducer.watermark() == n
        rows.append({"delta": delta, "steps": run["steps"], "t_steps": run["t_steps"],
                     "quarters": run["quarters"], "canonical": reducer.canonical_count(), "t_final": t_final,
                     "report": final_report, "reduced": final_store.node_count()})
        del run, reducer, final_store
        print(f"  delta {delta:,}: done", flush=True)

    t_reduce, (reduced, report) = best_of(args.repeat, lambda: store.reduce(outputs=outs))

    print()
    quarter_head = "".join(f"{f'Q{q + 1} ns/node':>13}" for q in range(QUARTERS))
    print(f"{'delta':>8}{'steps':>10}{'steps ms':>10}{'ns/node':>9}{quarter_head}{'total_work':>12}"
          f"{'canonical':>11}{'finalize ms':>13}{'steps+final':>13}")
    for r in rows:
        quarters = "".join(f"{t * 1e9:>13.0f}" if t else f"{'-':>13}" for t in r["quarters"])
        print(f"{r['delta']:>8,}{r['steps']:>10,}{r['t_steps'] * 1e3:>10.1f}{r['t_steps'] / n * 1e9:>9.0f}{quarters}"
              f"{n:>12,}{r['canonical']:>11,}{r['t_final'] * 1e3:>13.1f}{(r['t_steps'] + r['t_final']) * 1e3:>13.1f}")
    print(f"reduce of the same store: {t_reduce * 1e3:.1f} ms ({n / t_reduce:,.0f} nodes/s); "
          f"finalize / reduce = {rows[-1]['t_final'] / t_reduce:.2f}")
    print(f"  reduce report:   {json.dumps({k: report[k] for k in sorted(report)})}")
    print(f"  finalize report: {json.dumps({k: rows[-1]['report'][k] for k in sorted(report)})}")
    print(f"  reduced nodes: reduce {reduced.node_count():,}, finalize {rows[-1]['reduced']:,}")


if __name__ == "__main__":
    main()
