"""Ctrl-C latency: the delay from SIGINT to KeyboardInterrupt during each long
call, per graph size, against the 100 ms target.

For every operation and size a child process loads the graph (an IR blob of
the mixed graph of tests/python/large_graph_blob.py), times one full call,
prints a marker and calls again; this process sends SIGINT half-way through
that second call (by the first one's time) and notes when. The child notes
when it catches KeyboardInterrupt; both read the same monotonic clock. Each
case runs --repeat times; printed are the median and the worst delay, the
full call's time, and whether the worst delay is within the target.

    python bench/bench_interrupt.py [--sizes 100k 400k 1.6M] [--repeat 3] [--quick]

nodes() builds a dict per node; it is measured up to 400k nodes.
"""

import argparse
import json
import os
import pathlib
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))

from large_graph_blob import large_graph_blob  # noqa: E402

TARGET = 0.100
OPERATIONS = ["reduce", "reduce_incremental", "reduction_report", "cone", "finalize", "step", "deserialize", "to_dot",
              "nodes"]
NODES_LIMIT = 400_000

CHILD = r'''
import json, sys, time
import quorvel_core as qc
name, path = sys.argv[1:3]
with open(path, "rb") as f:
    blob = f.read()
store = qc.GraphStore.deserialize(blob)
everything = list(range(store.node_count()))
calls = {
    "reduce": lambda: store.reduce(),
    "reduce_incremental": lambda: store.reduce_incremental(),
    "reduction_report": lambda: store.reduction_report(),
    "cone": lambda: store.cone(outputs=everything),
    "finalize": lambda: qc.IncrementalReducer().finalize(store),
    "step": lambda: qc.IncrementalReducer().step(store),
    "deserialize": lambda: qc.GraphStore.deserialize(blob),
    "to_dot": lambda: store.to_dot(),
    "nodes": lambda: store.nodes(),
}
call = calls[name]
start = time.monotonic()
result = call()
full = time.monotonic() - start
result = None
print(json.dumps({"full": full}), flush=True)
try:
    call()
    print(json.dumps({"finished_at": time.monotonic()}), flush=True)
except KeyboardInterrupt:
    print(json.dumps({"caught_at": time.monotonic()}), flush=True)
'''


def parse_size(text):
    scale = {"k": 1_000, "M": 1_000_000}
    return int(float(text[:-1]) * scale[text[-1]]) if text[-1] in scale else int(text)


def one_delay(name, path):
    child = subprocess.Popen([sys.executable, "-c", CHILD, name, str(path)], stdout=subprocess.PIPE, text=True)
    try:
        full = json.loads(child.stdout.readline())["full"]
        time.sleep(full / 2)
        sent_at = time.monotonic()
        os.kill(child.pid, signal.SIGINT)
        out = json.loads(child.stdout.readline())
        child.wait(timeout=600)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    if "caught_at" not in out:
        return full, None
    return full, out["caught_at"] - sent_at


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", nargs="+", type=parse_size, default=[100_000, 400_000, 1_600_000])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="sizes 50k 200k, one run each")
    parser.add_argument("--operations", nargs="+", default=OPERATIONS)
    args = parser.parse_args()
    if args.quick:
        args.sizes, args.repeat = [50_000, 200_000], 1

    import quorvel_core as qc

    print(f"quorvel_core {qc.version()}, Python {sys.version.split()[0]}; SIGINT half-way through the call, "
          f"{args.repeat} run(s) per case; target {TARGET * 1e3:.0f} ms")
    print(f"{'operation':>20}{'nodes':>11}{'call ms':>10}{'median ms':>11}{'worst ms':>10}  within target")
    misses = 0
    with tempfile.TemporaryDirectory() as folder:
        for n in args.sizes:
            path = pathlib.Path(folder) / f"{n}.blob"
            path.write_bytes(large_graph_blob(n))
            for name in args.operations:
                if name == "nodes" and n > NODES_LIMIT:
                    continue
                fulls, delays = [], []
                for _ in range(args.repeat):
                    full, delay = one_delay(name, path)
                    fulls.append(full)
                    delays.append(delay)
                call_ms = statistics.median(fulls) * 1e3
                if any(d is None for d in delays):
                    print(f"{name:>20}{n:>11,}{call_ms:>10.1f}{'(the call ended before the signal)':>33}")
                    continue
                worst = max(delays)
                ok = worst <= TARGET
                misses += not ok
                print(f"{name:>20}{n:>11,}{call_ms:>10.1f}{statistics.median(delays) * 1e3:>11.1f}{worst * 1e3:>10.1f}"
                      f"  {'yes' if ok else 'NO'}")
    print(f"\n{misses} case(s) over the target")


if __name__ == "__main__":
    main()
