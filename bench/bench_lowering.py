"""Lowering onto Dask: the example pipeline of examples/dask_pipeline.py run
unreduced and reduced, side by side in one run.

Four task graphs of the same requested outputs, on each scheduler:

- "unreduced": the graph lowered node by node, as a framework without the
  reducer would hand it to Dask;
- "dask cull+fuse": that graph after Dask's own optimizations
  (`dask.optimization.cull`, then `fuse`), the baseline a Dask user gets
  for free; the time those two take is printed beside it;
- "reduced": `reduce()` (single-use fusion), then the lowering;
- "reduced maximal": `reduce(maximal_fusion=True)`, then the lowering.

Printed per size and scheduler: tasks, the best wall time of --repeat runs
(the graph's execution and the concatenation of the requested outputs), and
the speed-up over "unreduced". Every run's outputs are checked against the
first one's (values, dtypes, signed zeros). The cluster is a LocalCluster on
127.0.0.1 with 2 single-threaded worker processes, started once and closed at
the end. The time of `reduce()` is the best of 20 calls after a first one.

    python bench/bench_lowering.py [--rows 20000 200000] [--partitions 8] [--features 300]
                                   [--schedulers threads cluster] [--repeat 3]
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

import dask.optimization  # noqa: E402
import dask.threaded  # noqa: E402

import dask_lowering as dl  # noqa: E402
import dask_pipeline  # noqa: E402

from bench_support import best_of  # noqa: E402


def dask_optimized(lowered):
    """The lowered graph after Dask's cull and fuse, and the time they took."""
    keys = [k for group in lowered.keys() for k in group]
    start = time.perf_counter()
    culled, dependencies = dask.optimization.cull(lowered.graph, keys)
    fused, _ = dask.optimization.fuse(culled, keys, dependencies=dependencies)
    elapsed = time.perf_counter() - start
    return dl.Lowered(fused, lowered.outputs), elapsed


def reduce_time(store, requested, maximal_fusion):
    store.reduce(outputs=requested, maximal_fusion=maximal_fusion)
    samples = []
    for _ in range(20):
        start = time.perf_counter()
        store.reduce(outputs=requested, maximal_fusion=maximal_fusion)
        samples.append(time.perf_counter() - start)
    return min(samples), statistics.median(samples)


def graphs(rows, partitions, features):
    pipeline, named = dask_pipeline.build(features, rows, keys=1000)
    store, names = pipeline.store, list(named)
    requested = [named[n] for n in names]
    unreduced = dl.lower(store, requested, partitions=partitions, name="u")
    optimized, optimize_seconds = dask_optimized(unreduced)
    out = {"unreduced": unreduced, "dask cull+fuse": optimized}
    notes = {"dask cull+fuse": f"cull+fuse {optimize_seconds:.2f} s"}
    for label, maximal in (("reduced", False), ("reduced maximal", True)):
        reduced, report = store.reduce(outputs=requested, maximal_fusion=maximal)
        out[label] = dl.lower(reduced, dl.landed_ids(reduced, requested), partitions=partitions,
                              name="m" if maximal else "r")
        best, median = reduce_time(store, requested, maximal)
        notes[label] = (f"{reduced.node_count()} nodes, {report['stages']} stages; "
                        f"reduce() {best * 1e3:.2f} ms best, {median * 1e3:.2f} ms median")
    return store, names, out, notes


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, nargs="+", default=[20_000, 200_000], help="rows per partition")
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--features", type=int, default=300)
    parser.add_argument("--schedulers", nargs="+", choices=["threads", "cluster"], default=["threads", "cluster"])
    parser.add_argument("--repeat", type=int, default=3)
    options = parser.parse_args(argv)

    cluster = client = None
    gets = {}
    if "threads" in options.schedulers:
        gets["threads"] = dask.threaded.get
    if "cluster" in options.schedulers:
        cluster, client = dask_pipeline.on_cluster(timeout=600)
        gets["cluster"] = dask_pipeline.cluster_get(client, timeout=3600)
    try:
        for rows in options.rows:
            store, names, lowered, notes = graphs(rows, options.partitions, options.features)
            print(f"\n{store.node_count():,} IR nodes, {len(names)} requested outputs, "
                  f"{options.partitions} partitions x {rows:,} rows")
            for label, note in notes.items():
                print(f"  {label}: {note}")
            print(f"  {'scheduler':<10} {'graph':<16} {'tasks':>8} {'wall':>9} {'speed-up':>9}")
            for scheduler, get in gets.items():
                expected = None
                baseline = None
                for label, graph in lowered.items():
                    seconds, values = best_of(options.repeat, lambda: dl.compute(graph, get))
                    if expected is None:
                        expected, baseline = values, seconds
                    else:
                        dl.assert_all_identical(names, expected, values)
                    print(f"  {scheduler:<10} {label:<16} {graph.tasks:>8,} {seconds:>8.2f}s "
                          f"{baseline / seconds:>8.1f}x")
                    del values
    finally:
        if client is not None:
            client.close()
            cluster.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
