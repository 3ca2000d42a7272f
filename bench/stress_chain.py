"""Stress: reduce one 10,000,000-node chain end to end through Python.

One source followed by a chain of unary ops whose names alternate, each op
the only user of the one before, so the graph is as deep as it is large. The
reduction must walk all of it without recursion: a walk that recursed once
per node would overflow the 8 MiB thread stack long before the end. The
script builds the chain, reduces it against its last node, frees both stores
and prints the times, the report and the peak RSS (VmHWM).

    python bench/stress_chain.py [--nodes N]
"""

import argparse
import gc
import json
import time

import quorvel_core as qc
from bench_support import proc_status

NAMES = ("scale", "shift", "clip", "cast")




def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=10_000_000, help="chain length, source included")
    args = parser.parse_args()
    if args.nodes < 2:
        parser.error("--nodes must be at least 2")

    start = time.perf_counter()
    store = qc.GraphStore()
    last = store.add_source("src", {"path": "/data/chain.parquet"})
    add_op = store.add_op
    for i in range(args.nodes - 1):
        last = add_op(NAMES[i % len(NAMES)], [last])
    t_build = time.perf_counter() - start
    assert store.node_count() == args.nodes and last == args.nodes - 1
    gc.collect()
    rss_built = proc_status("VmRSS")
    print(f"chain: {args.nodes:,} nodes built in {t_build:.2f} s; RSS {rss_built / 1e6:,.0f} MB")

    start = time.perf_counter()
    reduced, report = store.reduce(outputs=[last])
    t_reduce = time.perf_counter() - start
    print(f"reduce: {t_reduce:.2f} s ({args.nodes / t_reduce:,.0f} nodes/s)")
    print(f"report: {json.dumps({k: report[k] for k in sorted(report)})}")
    print(f"reduced store: {reduced.node_count():,} nodes, outputs {reduced.outputs()}")
    # Nothing merges and every node is reachable; the counters must add up.
    assert report["input_nodes"] == report["reachable_nodes"] == report["canonical_nodes"] == args.nodes, report
    assert report["reduced_nodes"] == report["stages"] + report["boundary_nodes"] == reduced.node_count(), report
    assert len(reduced.outputs()) == 1

    # Freeing must not recurse either.
    start = time.perf_counter()
    del reduced
    del store
    gc.collect()
    t_free = time.perf_counter() - start
    print(f"both stores freed in {t_free:.2f} s")
    print(f"peak RSS (VmHWM): {proc_status('VmHWM') / 1e6:,.0f} MB")


if __name__ == "__main__":
    main()
