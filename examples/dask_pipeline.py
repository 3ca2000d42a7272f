"""Builds a feature pipeline with the redundancy frameworks emit, runs it on
Dask unreduced and reduced, and checks that every requested output is
identical.

    python3 examples/dask_pipeline.py                      # both schedulers, 8 partitions x 20,000 rows
    python3 examples/dask_pipeline.py --scheduler threads --features 40 --rows 2000

The redundancy: sub-expressions re-emitted per feature with swapped
commutative operands, `* 1.0` and `+ 0.0` noise on float columns, dead
branches no output reads, and outputs requested under several names. The
script prints the IR nodes, Dask tasks and wall time of each run and the time
of `reduce()` itself, then hands the reduction to a worker process twice (as
a blob with the landed output ids, and as a pickled store, which keeps its
node map), lowers it there and checks the same outputs.

Runs need dask, dask.distributed and pandas (the module's `test` extra).
"""

from __future__ import annotations

import argparse
import logging
import multiprocessing
import pickle
import statistics
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Any, Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))

import dask  # noqa: E402
import dask.threaded  # noqa: E402

import dask_lowering as dl  # noqa: E402

# --- the user's program -----------------------------------------------------------------------

GROUPS = 16  # distinct features; every further feature re-derives one of them


def noise(column: dl.Column, k: int) -> dl.Column:
    """What a framework's rewriting of user code leaves behind: a different
    run of `* 1.0` and `+ 0.0` (either side) for every k."""
    k += 1
    while k:
        k, digit = divmod(k, 5)
        if digit == 1:
            column = column * 1.0
        elif digit == 2:
            column = column + 0.0
        elif digit == 3:
            column = 1.0 * column
        elif digit == 4:
            column = 0.0 + column
    return column


def build(features: int, rows: int, keys: int) -> tuple[dl.Pipeline, dict[str, int]]:
    """The pipeline and its requested outputs, by name (several names may name one node)."""
    pipeline = dl.Pipeline()
    outputs: dict[str, int] = {}
    users = pipeline.source("users", rows=rows, seed=11, keys=keys)
    per_group: dict[int, dl.Column] = {}
    for i in range(features):
        group, variant = i % GROUPS, i // GROUPS
        events = pipeline.source("events", rows=rows, seed=7, keys=keys)  # re-emitted: the same node
        x, y, z, n = events["x"], events["y"], events["z"], events["n"]
        weight = 0.25 + 0.125 * group
        scaled = noise(x, variant) * weight
        shifted = noise(y, variant + 3)
        mixed = scaled + shifted if variant % 2 == 0 else shifted + scaled
        peak = mixed.maximum(noise(z, variant)) if variant % 3 else noise(z, variant + 1).maximum(mixed)
        counts = n.astype(dl.FLOAT)
        feature = peak.tanh() * counts if variant % 2 else counts * peak.tanh()
        # A dead branch: computed by the user's code, read by no output.
        _ = (mixed.log1p() - 3.0).square() + feature
        # Integers keep their dtype: `* 1` stays, `+ 0.0` promotes.
        ints = (n * 1 + group) if variant % 2 else (n * 1 + group + 0.0) - 0.0
        outputs[f"feature_{i}"] = feature.node
        outputs[f"ints_{i}"] = ints.node
        if variant < 2:
            outputs[f"total_{i}"] = feature.sum().node
            mask = (x > 0.0) & (y < 1.0) if variant == 0 else (y < 1.0) & (x > 0.0)
            outputs[f"share_{i}"] = mask.sum().node
        per_group.setdefault(group, feature)
    # Frame work on a few features: a join, a model call, a grouped total,
    # a filter, and string columns that must not be swapped.
    events = pipeline.source("events", rows=rows, seed=7, keys=keys)
    enriched = events.assign(f0=per_group[0], f1=per_group[1 % GROUPS])
    joined = enriched.join(users, on="key")
    score = pipeline.model("sha256:4a1f9c0e", joined, ["f0", "f1", "weight"])
    scored = joined.assign(score=score)
    outputs["region_score"] = scored.groupby_sum("region", "score").node
    outputs["region_score_again"] = scored.groupby_sum("region", "score").node
    outputs["confident"] = scored.filter(score > 0.5).select("key", "region", "score").node
    outputs["label"] = joined["cat"].concat(joined["region"]).node
    outputs["label_swapped"] = joined["region"].concat(joined["cat"]).node
    outputs["centered"] = (score - score.mean()).node
    outputs["best"] = score.max().node
    outputs["rows"] = score.count().node
    return pipeline, outputs


# --- running ----------------------------------------------------------------------------------


def timed(f: Callable[[], Any]) -> tuple[Any, float]:
    start = time.perf_counter()
    result = f()
    return result, time.perf_counter() - start


def reduce_timings(store: Any, requested: list[int], repeats: int = 5) -> tuple[Any, dict[str, int], float, float]:
    (reduced, report), first = timed(lambda: store.reduce(outputs=requested))
    warm = statistics.median(timed(lambda: store.reduce(outputs=requested))[1] for _ in range(repeats))
    return reduced, report, first, warm


def on_cluster(timeout: float) -> Any:
    """A 2-worker LocalCluster on 127.0.0.1 and its client; closed by the caller."""
    from distributed import Client, LocalCluster

    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address=None, silence_logs=logging.ERROR)
    client = Client(cluster, timeout=timeout)
    return cluster, client


def cluster_get(client: Any, timeout: float) -> Callable[..., Any]:
    from distributed import wait

    def get(graph: dict[Any, Any], keys: list[list[Any]]) -> Any:
        futures = client.get(graph, keys, sync=False)
        wait([f for group in futures for f in group], timeout=timeout)
        return client.gather(futures)

    return get


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--features", type=int, default=300, help="features the user's program derives")
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--rows", type=int, default=20_000, help="rows per partition")
    parser.add_argument("--keys", type=int, default=1000, help="distinct join keys")
    parser.add_argument("--scheduler", choices=["threads", "cluster", "both"], default="both")
    parser.add_argument("--timeout", type=float, default=600, help="seconds any one cluster step may take")
    options = parser.parse_args(argv)

    pipeline, named = build(options.features, options.rows, options.keys)
    store, names = pipeline.store, list(named)
    requested = [named[name] for name in names]
    reduced, report, first, warm = reduce_timings(store, requested)
    landed = dl.landed_ids(reduced, requested)
    print(f"IR nodes: {store.node_count():,} unreduced, {reduced.node_count():,} reduced "
          f"({report['stages']} stages); {len(requested)} outputs requested, "
          f"{len(reduced.outputs())} distinct after reduction")
    print(f"reduce(): {first * 1e3:.2f} ms first call, {warm * 1e3:.2f} ms warm")

    partitions = options.partitions
    unreduced_graph = dl.lower(store, requested, partitions=partitions, name="u")
    reduced_graph = dl.lower(reduced, landed, partitions=partitions, name="r")
    print(f"Dask tasks: {unreduced_graph.tasks:,} unreduced, {reduced_graph.tasks:,} reduced "
          f"({partitions} partitions x {options.rows:,} rows)")
    print(f"{'scheduler':<10} {'graph':<10} {'tasks':>8} {'wall':>9}")

    def run(scheduler: str, get: Callable[..., Any]) -> tuple[list[Any], list[Any]]:
        expected, t_unreduced = timed(lambda: dl.compute(unreduced_graph, get))
        got, t_reduced = timed(lambda: dl.compute(reduced_graph, get))
        print(f"{scheduler:<10} {'unreduced':<10} {unreduced_graph.tasks:>8,} {t_unreduced:>8.2f}s")
        print(f"{scheduler:<10} {'reduced':<10} {reduced_graph.tasks:>8,} {t_reduced:>8.2f}s"
              f"   ({t_unreduced / t_reduced:.1f}x)")
        dl.assert_all_identical(names, expected, got)
        return expected, got

    blob = reduced.serialize()
    pickled = pickle.dumps(reduced)
    expected: list[Any] | None = None
    if options.scheduler in ("threads", "both"):
        expected, _ = run("threads", dask.threaded.get)
        if options.scheduler == "threads":
            # A worker process of our own for the hand-off.
            with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
                from_blob = pool.submit(dl.run_blob, blob, landed, partitions).result(options.timeout)
                from_pickle = pool.submit(dl.run_pickled, pickled, requested, partitions).result(options.timeout)
    if options.scheduler in ("cluster", "both"):
        cluster, client = on_cluster(options.timeout)
        try:
            cluster_expected, _ = run("cluster", cluster_get(client, options.timeout))
            if expected is not None:
                dl.assert_all_identical(names, expected, cluster_expected)
            expected = cluster_expected
            # The hand-off: a worker of the cluster gets the reduction, lowers it and runs it.
            from_blob = client.submit(dl.run_blob, blob, landed, partitions, pure=False).result(options.timeout)
            from_pickle = client.submit(dl.run_pickled, pickled, requested, partitions,
                                        pure=False).result(options.timeout)
        finally:
            client.close()
            cluster.close()
    assert expected is not None
    dl.assert_all_identical(names, expected, from_blob)
    dl.assert_all_identical(names, expected, from_pickle)
    print(f"hand-off to a worker process: blob ({len(blob):,} bytes) + {len(landed)} landed ids, "
          f"and a pickle ({len(pickled):,} bytes) with its node map: identical")
    print(f"all {len(names)} requested outputs identical (values, dtypes, index, signed zeros)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
