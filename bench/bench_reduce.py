"""Reduction: quorvel_core's `GraphStore.reduce` against a pure-Python reducer.

Builds mixed pipeline graphs (chains of unary ops, fan-outs, commutative
binary ops in both argument orders, add-zero and multiply-by-one ops, near
identities, exact duplicates, dead branches, reductions, joins, exchanges and
external model calls) of 10,000, 100,000 and 1,000,000 nodes from a fixed
seed, and reduces each against a few hundred sinks. In the same run, a
straightforward pure-Python reducer works on the same node list kept as
tuples: dead-code elimination from the outputs, then hash-consing of
(kind, name, params, canonical inputs) with the inputs of the eight
commutative operators sorted and add-zero / multiply-by-one ops dropped. It
neither fuses stages nor builds a store, so it does less work than `reduce`.

Printed per size: the best time per call of `store.reduce(outputs=...)` and
of the baseline, nodes per second, the speed-up, the report dict, the scaling
between sizes, and the memory a reduction needs at its peak compared with the
footprint of the store it reduces, measured in a fresh interpreter (see
`measure_memory`). Times are taken in N rounds that each time every size in
turn, a small graph in a batch of calls lasting at least 50 ms (see
`bench_support.interleaved_best`): every size gets as many samples as the
others and each sample is as long, so that neither the number of samples
nor drift in the machine's speed between sizes skews the scaling ratio.

    python bench/bench_reduce.py [--sizes 10k 100k 1M] [--repeat 5] [--quick]
    python bench/bench_reduce.py --blobs DIR [--sizes ...]

With --blobs, the graphs are only written to DIR as IR blobs (reduce_<n>.blob,
outputs marked), for `bench_reduce_phases --blob` to reduce phase by phase.
"""

import argparse
import gc
import json
import os
import random
import subprocess
import sys
import time

import quorvel_core as qc
from bench_support import interleaved_best, proc_status

SOURCE, OP, REDUCTION, EXCHANGE, JOIN, EXTERNAL = range(6)

COMMUTATIVE = ("add", "mul", "and", "or", "eq", "ne", "maximum", "minimum")
UNARY = ("parse", "filter", "scale", "cast", "project", "window", "normalize", "clip")
IDENTITY_OPS = [
    ("add", {"scalar": 0.0, "side": "r"}),
    ("add", {"scalar": 0.0, "side": "l"}),
    ("mul", {"scalar": 1.0, "side": "r"}),
    ("mul", {"scalar": 1.0, "side": "l"}),
]
# Close to an identity but not one: the engine must keep every one of these.
NEAR_IDENTITY_OPS = [
    ("add", {"scalar": -0.0, "side": "r"}),  # negative zero has other bits
    ("add", {"scalar": 0, "side": "l"}),  # an Int, not a Float
    ("mul", {"scalar": 1.0000000000000002, "side": "r"}),
    ("mul", {"scalar": 1.0, "side": "r", "round": True}),  # an extra parameter
    ("add", {"scalar": 0.0, "side": "both"}),
    ("sub", {"scalar": 0.0, "side": "r"}),
]
DESCRIPTORS = [
    {"kind": "onnx", "content_hash": "sha256:9f2c41", "framework": "onnxruntime", "version": "1.17.1",
     "io_schema": "f32[n,128]->f32[n,4]"},
    {"kind": "torchscript", "content_hash": "sha256:07be3d", "framework": "torch", "version": "2.3.0",
     "io_schema": "f32[n,64]->f32[n]"},
    {"kind": "sklearn", "content_hash": "sha256:c4a810", "framework": "scikit-learn", "version": "1.4.2",
     "io_schema": "f64[n,12]->i64[n]", "preprocessing_ref": "scaler-v3"},
]


def value_key(v):
    # As in the store, the value's type is part of a parameter's identity and
    # a float is compared by its bits (0.0 and -0.0 differ, all NaNs agree).
    if v is True or v is False:
        return ("b", v)
    if isinstance(v, int):
        return ("i", v)
    if isinstance(v, float):
        return ("f", v.hex())
    return ("s", v)


def params_key(params) -> tuple:
    return tuple(sorted((k, value_key(v)) for k, v in params.items())) if params else ()


def descriptor_key(d: dict) -> tuple:
    return (d["kind"], d["content_hash"], d["framework"], d["version"], d["io_schema"], d.get("preprocessing_ref"))


IDENTITY_KEYS = frozenset((name, params_key(p)) for name, p in IDENTITY_OPS)
COMMUTATIVE_NAMES = frozenset(COMMUTATIVE)


class Graph:
    """The generated graph twice: every add call in order (duplicates
    included, with the id it must return) and the distinct nodes as tuples
    (kind, name or descriptor key, params key, inputs), indexed by id."""

    def __init__(self) -> None:
        self.calls: list[tuple] = []
        self.rows: list[tuple] = []
        self.index: dict = {}
        self.outputs: list[int] = []

    def add(self, kind, name, inputs=(), params=None) -> int:
        inputs = tuple(inputs)
        row = (kind, descriptor_key(name) if kind == EXTERNAL else name, params_key(params), inputs)
        node = self.index.get(row)
        if node is None:
            node = self.index[row] = len(self.rows)
            self.rows.append(row)
        self.calls.append((kind, name, list(inputs), params, node))
        return node


def unary_params(rng: random.Random):
    r = rng.random()
    if r < 0.4:
        return {"col": f"c{rng.randrange(16)}"}
    if r < 0.7:
        return {"factor": rng.randint(1, 9), "mode": rng.choice(["fast", "exact"])}
    if r < 0.85:
        return {"alpha": rng.choice([0.5, 0.25, 2.0])}
    return None


def make_graph(n: int, seed: int = 17, pipelines: int = 200) -> Graph:
    """About n distinct nodes in `pipelines` pipelines; each live pipeline
    ends in a sink, half of them emit one more on the way, and about 5% of
    the pipelines are dead (no output reaches them)."""
    rng = random.Random(seed)
    g = Graph()
    add = g.add
    values: list[int] = []  # values of finished pipelines, for joins

    def unary(x: int) -> int:
        return add(OP, rng.choice(UNARY), [x], unary_params(rng))

    for p in range(pipelines):
        target = n * (p + 1) // pipelines
        live = rng.random() >= 0.05
        cur = add(SOURCE, f"src{p}", params={"path": f"/data/{p}.parquet", "fmt": "parquet"})
        mine = [cur]
        # half of the live pipelines also emit a sink part way through
        sink_at = rng.randrange(len(g.rows), target + 1) if live and rng.random() < 0.5 else -1
        while len(g.rows) < target:
            if 0 <= sink_at <= len(g.rows):
                g.outputs.append(cur)
                sink_at = -1
            r = rng.random()
            if r < 0.28:  # a chain of unary ops
                for _ in range(rng.randint(2, 6)):
                    cur = unary(cur)
            elif r < 0.38:  # fan-out, folded back with commutative ops in random order
                branches = [unary(cur) for _ in range(rng.randint(2, 4))]
                acc = branches[0]
                for b in branches[1:]:
                    pair = [acc, b] if rng.random() < 0.5 else [b, acc]
                    acc = add(OP, rng.choice(COMMUTATIVE), pair)
                cur = acc
            elif r < 0.48:  # the same commutative op in both orders, each used
                other = rng.choice(mine[-20:])
                name = rng.choice(COMMUTATIVE)
                x = add(OP, name, [cur, other])
                y = add(OP, name, [other, cur])
                if rng.random() < 0.5:  # users that become equal by congruence
                    name, params = rng.choice(UNARY), unary_params(rng)
                    x, y = add(OP, name, [x], params), add(OP, name, [y], params)
                cur = add(OP, rng.choice(["sub", "div", "concat", "max"]), [x, y])
            elif r < 0.55:  # add zero / multiply by one
                name, params = rng.choice(IDENTITY_OPS)
                cur = add(OP, name, [cur], params)
            elif r < 0.59:  # near identities
                name, params = rng.choice(NEAR_IDENTITY_OPS)
                inputs = [cur, rng.choice(mine)] if params.get("side") == "both" else [cur]
                cur = add(OP, name, inputs, params)
            elif r < 0.64:  # exact duplicates of recent calls
                for _ in range(rng.randint(1, 3)):
                    kind, name, inputs, params, _ = g.calls[rng.randrange(len(g.calls) - len(mine), len(g.calls))]
                    add(kind, name, inputs, params)
            elif r < 0.71:  # a dead branch: nothing will ever use it
                d = cur
                for _ in range(rng.randint(1, 4)):
                    d = unary(d)
            elif r < 0.78:  # a reduction combined back into the value
                red = add(REDUCTION, rng.choice(["sum", "count", "mean", "max"]), [cur], {"axis": 0})
                pair = [cur, red] if rng.random() < 0.5 else [red, cur]
                cur = add(OP, rng.choice(["maximum", "minimum", "mul", "add"]), pair)
            elif r < 0.84:  # a join with a value of an earlier pipeline
                other = rng.choice(values) if values else rng.choice(mine)
                cur = add(JOIN, None, [cur, other], {"how": "inner" if rng.random() < 0.8 else "left"})
            elif r < 0.90:
                cur = add(EXCHANGE, None, [cur], {"scheme": "hash" if rng.random() < 0.8 else "range"})
            elif r < 0.95:
                cur = add(EXTERNAL, rng.choice(DESCRIPTORS), [cur])
            else:
                cur = unary(cur)
            mine.append(cur)
        values.append(cur)
        if live:
            g.outputs.append(cur)
    return g


def build_store(g: Graph):
    store = qc.GraphStore()
    methods = [
        lambda name, inputs, params: store.add_source(name, params),
        store.add_op,
        store.add_reduction,
        lambda name, inputs, params: store.add_exchange(inputs, params),
        lambda name, inputs, params: store.add_join(inputs, params),
        store.add_external,
    ]
    for kind, name, inputs, params, expected in g.calls:
        got = methods[kind](name, inputs, params)
        if got != expected:
            raise AssertionError(f"store returned id {got}, expected {expected}")
    assert store.node_count() == len(g.rows)
    return store


def reduce_python(rows: list[tuple], outputs: list[int]):
    """Dead-code elimination, then hash-consing in id order with commutative
    inputs sorted and identity ops mapped to their input. Returns the number
    of reachable nodes, the canonical node list and the canonical outputs."""
    reached = bytearray(len(rows))
    stack = list(outputs)
    pop, extend = stack.pop, stack.extend
    while stack:
        x = pop()
        if not reached[x]:
            reached[x] = 1
            extend(rows[x][3])
    canon = [0] * len(rows)
    table: dict = {}
    reachable = 0
    for x, row in enumerate(rows):
        if not reached[x]:
            continue
        reachable += 1
        kind, name, params, inputs = row
        ins = tuple([canon[i] for i in inputs])
        if kind == OP:
            if len(ins) == 1 and (name, params) in IDENTITY_KEYS:
                canon[x] = ins[0]
                continue
            if len(ins) == 2 and not params and name in COMMUTATIVE_NAMES and ins[1] < ins[0]:
                ins = (ins[1], ins[0])
        key = (kind, name, params, ins)
        c = table.get(key)
        if c is None:
            c = table[key] = len(table)
        canon[x] = c
    return reachable, list(table), [canon[o] for o in outputs]






def measure_memory(n: int) -> dict:
    """Runs in a fresh interpreter. The store's footprint is the growth of
    VmRSS from building it (the generated Python lists already exist before
    and stay alive after). The reduction's peak extra memory is VmHWM after
    `reduce` minus VmRSS just before it, with the high-water mark reset to
    the current RSS first (writing 5 to /proc/self/clear_refs); where that
    reset is refused, VmHWM before the reduce is the baseline instead, which
    can hide a peak lower than an earlier one. Retained is VmRSS after the
    reduce minus VmRSS before it, with the result store still alive; it also
    counts freed heap the allocator has not given back."""
    g = make_graph(n)
    gc.collect()
    before_build = proc_status("VmRSS")
    store = build_store(g)
    gc.collect()
    before_reduce = proc_status("VmRSS")
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        peak_reset = True
    except OSError:
        peak_reset = False
    base = before_reduce if peak_reset else proc_status("VmHWM")
    reduced, report = store.reduce(outputs=g.outputs)
    peak = proc_status("VmHWM")
    after = proc_status("VmRSS")
    return {
        "nodes": store.node_count(),
        "store_bytes": before_reduce - before_build,
        "peak_extra_bytes": peak - base,
        "retained_bytes": after - before_reduce,
        "reduced_nodes": reduced.node_count(),
        "peak_reset": peak_reset,
    }


def parse_size(text: str) -> int:
    factor = {"k": 1_000, "m": 1_000_000}.get(text[-1:].lower(), 1)
    return int(float(text[:-1] if factor > 1 else text) * factor)


def prepare(n: int) -> dict:
    t0 = time.perf_counter()
    g = make_graph(n)
    t_gen = time.perf_counter() - t0
    t0 = time.perf_counter()
    store = build_store(g)
    t_build = time.perf_counter() - t0
    duplicates = len(g.calls) - len(g.rows)
    print(f"  {n:,}: {len(g.rows):,} nodes from {len(g.calls):,} add calls ({duplicates:,} exact duplicates), "
          f"{len(g.outputs)} outputs; generated in {t_gen:.1f} s, store built in {t_build:.1f} s", flush=True)
    return {"n": n, "nodes": len(g.rows), "graph": g, "store": store}


def check(case: dict, reduced_and_report, baseline) -> None:
    g = case["graph"]
    reduced, report = reduced_and_report
    reachable, canonical, canon_outs = baseline
    # Both reducers must agree on what is reachable; they agree on the
    # canonical count as long as the engine saturates.
    assert report["input_nodes"] == len(g.rows), report
    assert report["reachable_nodes"] == reachable, (report, reachable)
    assert report["reduced_nodes"] == reduced.node_count() == report["stages"] + report["boundary_nodes"], report
    # Outputs that became one node are marked once in the reduced store.
    assert 0 < len(reduced.outputs()) <= len(set(canon_outs)), (len(reduced.outputs()), len(set(canon_outs)))
    print(f"  {case['n']:,} report: {json.dumps({k: report[k] for k in sorted(report)})}")
    same = "same" if report["canonical_nodes"] == len(canonical) else "DIFFERENT"
    print(f"    baseline: {reachable:,} reachable, {len(canonical):,} canonical ({same} as canonical_nodes)")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", nargs="+", type=parse_size, default=None,
                        help="graph sizes in nodes, e.g. 10k 100k 1M (default: 10k 100k 1M)")
    parser.add_argument("--repeat", type=int, default=None,
                        help="timed rounds over all sizes, best kept (default 5)")
    parser.add_argument("--quick", action="store_true", help="sizes 5k 20k, one timed run")
    parser.add_argument("--blobs", metavar="DIR", default=None,
                        help="only write each graph to DIR/reduce_<n>.blob, for bench_reduce_phases --blob")
    parser.add_argument("--memory-only", type=int, default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_only is not None:
        print(json.dumps(measure_memory(args.memory_only)))
        return
    sizes = args.sizes or ([5_000, 20_000] if args.quick else [10_000, 100_000, 1_000_000])
    if args.blobs is not None:
        os.makedirs(args.blobs, exist_ok=True)
        for n in sizes:
            g = make_graph(n)
            path = os.path.join(args.blobs, f"reduce_{n}.blob")
            with open(path, "wb") as f:
                f.write(build_store(g).serialize(g.outputs))
            print(path)
        return
    repeat = args.repeat or (1 if args.quick else 5)

    print(f"quorvel_core {qc.version()}, Python {sys.version.split()[0]}; best of {repeat} rounds, "
          "each timing every size in turn (a small graph in a batch of calls lasting at least 50 ms)", flush=True)
    cases = [prepare(n) for n in sizes]
    t_q, reduced = interleaved_best(
        [lambda c=c: c["store"].reduce(outputs=c["graph"].outputs) for c in cases], repeat)
    t_py, baseline = interleaved_best(
        [lambda c=c: reduce_python(c["graph"].rows, c["graph"].outputs) for c in cases], repeat)
    results = []
    for case, tq, tpy, r, b in zip(cases, t_q, t_py, reduced, baseline):
        check(case, r, b)
        results.append({"n": case["n"], "nodes": case["nodes"], "t_q": tq, "t_py": tpy})
    del cases, reduced, baseline

    print()
    print(f"{'nodes':>10}{'reduce ms':>12}{'nodes/s':>14}{'baseline ms':>14}{'nodes/s':>14}{'speed-up':>10}")
    for r in results:
        print(f"{r['nodes']:>10,}{r['t_q'] * 1e3:>12.1f}{r['nodes'] / r['t_q']:>14,.0f}"
              f"{r['t_py'] * 1e3:>14.1f}{r['nodes'] / r['t_py']:>14,.0f}{r['t_py'] / r['t_q']:>9.2f}x")
    for a, b in zip(results, results[1:]):
        print(f"scaling {b['nodes']:,} / {a['nodes']:,} nodes ({b['nodes'] / a['nodes']:.1f}x): "
              f"reduce {b['t_q'] / a['t_q']:.2f}x, baseline {b['t_py'] / a['t_py']:.2f}x")

    # Measured in a fresh interpreter per size, so memory freed by the runs
    # above neither hides nor inflates what one reduction takes.
    print()
    print("memory (fresh interpreter; store = RSS growth from building it, "
          "peak = high-water mark during reduce above RSS before it):")
    print(f"{'nodes':>10}{'store MB':>10}{'B/node':>8}{'peak extra MB':>15}{'peak/store':>12}{'retained MB':>13}")
    for n in sizes:
        out = subprocess.run([sys.executable, __file__, "--memory-only", str(n)],
                             check=True, capture_output=True, text=True).stdout
        m = json.loads(out)
        note = "" if m["peak_reset"] else "  (high-water mark not resettable: peak is a lower bound)"
        ratio = m["peak_extra_bytes"] / m["store_bytes"] if m["store_bytes"] > 0 else float("nan")
        print(f"{m['nodes']:>10,}{m['store_bytes'] / 1e6:>10.1f}{m['store_bytes'] / m['nodes']:>8.0f}"
              f"{m['peak_extra_bytes'] / 1e6:>15.1f}{ratio:>11.2f}x{m['retained_bytes'] / 1e6:>13.1f}{note}")


if __name__ == "__main__":
    main()
