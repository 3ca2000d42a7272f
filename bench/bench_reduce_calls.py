"""Reduction, call by call: where the time of each `reduce` call goes.

Builds one mixed pipeline graph of bench_reduce.py (same generator, same
seed) and reduces it --calls times in a row, printing for every call its
wall time, the user and system CPU time it took and its page faults
(`resource.getrusage` around the call). The first call is the first
reduction in a fresh process; the later ones follow the previous result,
which stays alive until the next call returns, as in bench_reduce.py.

With --collect alternate, every other call follows a full garbage
collection (`gc.collect()` just before the timed call, outside it), so that
calls with and without one can be compared in the same process.

With --pause S, the process sleeps S seconds before every call (outside the
timed region). On a virtual machine whose host takes back the memory a
guest frees, a pause lets that happen to the pages the previous call gave
back, and the next call pays for getting them back in system time. The
large blocks a reduction frees are kept for the next one, so with them
this cost is gone; the pause shows that it stays gone.

    python bench/bench_reduce_calls.py [--size 1M] [--calls 12] [--collect never|alternate|always] [--pause 0]

The calls without a collection are the baseline of those after one: the
best later call of each kind is printed at the end, side by side.
"""

import argparse
import gc
import resource
import time

from bench_reduce import build_store, make_graph, parse_size


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=parse_size, default=1_000_000, help="graph size in nodes (default 1M)")
    parser.add_argument("--calls", type=int, default=12, help="reduce calls in a row (default 12)")
    parser.add_argument("--collect", choices=["never", "alternate", "always"], default="never",
                        help="run a full collection before no call, every other call, or every call")
    parser.add_argument("--pause", type=float, default=0.0,
                        help="seconds to sleep before every call, outside the timed region (default 0)")
    args = parser.parse_args()

    g = make_graph(args.size)
    store = build_store(g)
    gc.collect()
    print(f"{store.node_count():,} nodes, {len(g.outputs)} outputs; {args.calls} calls, collections: {args.collect}, "
          f"pause before each call: {args.pause:g} s")
    print(f"{'call':>5}{'collected':>11}{'wall ms':>10}{'user ms':>10}{'sys ms':>9}{'faults':>9}")
    previous = None
    rows = []
    for call in range(args.calls):
        collect = args.collect == "always" or (args.collect == "alternate" and call % 2 == 1)
        if args.pause > 0:
            time.sleep(args.pause)
        if collect:
            gc.collect()
        before = resource.getrusage(resource.RUSAGE_SELF)
        start = time.perf_counter()
        result = store.reduce(outputs=g.outputs)
        wall = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_SELF)
        previous = result  # the earlier result is freed here, outside the timed region
        del result
        row = (wall, after.ru_utime - before.ru_utime, after.ru_stime - before.ru_stime,
               after.ru_minflt - before.ru_minflt, collect)
        rows.append(row)
        label = "first" if call == 0 else str(call)
        print(f"{label:>5}{'yes' if collect else 'no':>11}{row[0] * 1e3:>10.1f}{row[1] * 1e3:>10.1f}"
              f"{row[2] * 1e3:>9.1f}{row[3]:>9,}")
    del previous
    for collect in (False, True):
        later = [r for r in rows[1:] if r[4] == collect]
        if later:
            best = min(later)
            print(f"best later call {'after' if collect else 'without'} a collection: {best[0] * 1e3:.1f} ms "
                  f"(user {best[1] * 1e3:.0f}, sys {best[2] * 1e3:.0f}, faults {best[3]:,})")


if __name__ == "__main__":
    main()
