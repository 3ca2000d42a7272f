"""Memory of a long-running process: the resident set while it reduces many
small graphs, each with content no other call has (a unique 10 KB source
parameter, a distinct 51-member stage, a distinct external descriptor), and
drops every result.

Each call builds a store of a source with a unique 10 KB parameter, a chain
of 51 ops whose parameters differ from call to call and an external node,
reduces it (the chain becomes one stage), and reduces the reduced store
again, so that the stage itself goes through the engine. The resident set
is read after the first 1,000 calls and at the end; its growth in between is
compared with the 32 MB target.

    python bench/bench_long_running.py [--calls 100000] [--target-mb 32]
"""

import argparse
import gc
import time

import quorvel_core as qc

from bench_support import proc_status

PARAM_BYTES = 10 * 1024
CHAIN = 51


def one_call(k: int) -> None:
    store = qc.GraphStore()
    unique = f"{k:012d}".encode().hex()
    source = store.add_source("read", {"path": f"/data/{k}", "sql": (unique * (PARAM_BYTES // len(unique) + 1))[:PARAM_BYTES]})
    node = source
    for i in range(CHAIN):
        node = store.add_op("step", [node], {"k": k * CHAIN + i})
    model = qc.PayloadDescriptor(kind="onnx", content_hash=f"sha256:{k:016x}", framework="ort", version="1",
                                 io_schema="f32->f32")
    node = store.add_external(model, [node], {"batch": k})
    store.mark_output(node)
    reduced, _ = store.reduce()
    again, _ = reduced.reduce()
    assert again.node_count() == reduced.node_count()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=100_000)
    parser.add_argument("--warmup", type=int, default=1_000)
    parser.add_argument("--target-mb", type=float, default=32.0)
    args = parser.parse_args()

    start = time.perf_counter()
    for k in range(args.warmup):
        one_call(k)
    gc.collect()
    rss_warm = proc_status("VmRSS")
    checkpoints = []
    step = max(1, (args.calls - args.warmup) // 4)
    for k in range(args.warmup, args.calls):
        one_call(k)
        if (k + 1 - args.warmup) % step == 0:
            gc.collect()
            checkpoints.append((k + 1, proc_status("VmRSS")))
    gc.collect()
    rss_end = proc_status("VmRSS")
    elapsed = time.perf_counter() - start
    mb = 1024 * 1024
    print(f"calls: {args.calls:,} (each: build {CHAIN + 2} nodes with a unique {PARAM_BYTES // 1024} KB parameter, "
          f"reduce, reduce the result again) in {elapsed:.1f} s, {elapsed / args.calls * 1e6:.0f} us per call")
    print(f"resident set after {args.warmup:,} calls: {rss_warm / mb:.1f} MB")
    for calls, rss in checkpoints:
        print(f"resident set after {calls:,} calls: {rss / mb:.1f} MB (+{(rss - rss_warm) / mb:.1f} MB)")
    growth = (rss_end - rss_warm) / mb
    verdict = "met" if growth <= args.target_mb else "NOT met"
    print(f"growth after the first {args.warmup:,} calls: {growth:.1f} MB (target <= {args.target_mb:.0f} MB: {verdict})")


if __name__ == "__main__":
    main()
