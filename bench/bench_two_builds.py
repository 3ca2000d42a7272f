"""Before and after: the module's calls timed with this build and with
another build of it (say, one made before a change, installed in its own
environment), in one run.

Both builds time the same calls on the same graphs (the mixed graph of
tests/python/large_graph_blob.py), in worker processes that take turns
round after round, so that drift in the machine's speed reaches both alike.
Printed per call and size: the best time with each build and their ratio.
`build` adds every node of the graph again with add_source/add_op/
add_reduction (interning, the index growing from empty). The machine's
noise between two runs of one build is about +-10% on two shared cores;
`--baseline-python` set to this interpreter shows it.

    python bench/bench_two_builds.py --baseline-python OTHER_VENV/bin/python \
        [--sizes 100 1k 10k 100k 1M] [--rounds 3] [--calls build reduce ...]
"""

import argparse
import json
import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))
sys.path.insert(0, str(ROOT / "bench"))

CALLS = ["build", "reduce", "reduction_report", "cone", "finalize", "step", "deserialize", "serialize", "to_dot", "nodes"]

WORKER = r'''
import json, sys
sys.path.insert(0, sys.argv[2])
import quorvel_core as qc
from bench_support import interleaved_best
with open(sys.argv[1], "rb") as f:
    blob = f.read()
store = qc.GraphStore.deserialize(blob)
adds = [(n["kind"], n["name"], n["inputs"], n["params"]) for n in store.nodes()]

def build():
    s = qc.GraphStore()
    add_source, add_op, add_reduction = s.add_source, s.add_op, s.add_reduction
    for kind, name, inputs, params in adds:
        if kind == "op":
            add_op(name, inputs, params)
        elif kind == "source":
            add_source(name, params)
        else:
            add_reduction(name, inputs, params)
    return s

calls = {
    "build": build,
    "reduce": lambda: store.reduce(),
    "reduction_report": lambda: store.reduction_report(),
    "cone": lambda: store.cone(outputs=store.outputs()),
    "finalize": lambda: qc.IncrementalReducer().finalize(store),
    "step": lambda: qc.IncrementalReducer().step(store),
    "deserialize": lambda: qc.GraphStore.deserialize(blob),
    "serialize": lambda: store.serialize(),
    "to_dot": lambda: store.to_dot(),
    "nodes": lambda: store.nodes(),
}
names = sys.argv[3].split(",")
best, _ = interleaved_best([calls[n] for n in names], rounds=1)
print(json.dumps(dict(zip(names, best))))
'''


def parse_size(text):
    scale = {"k": 1_000, "M": 1_000_000}
    return int(float(text[:-1]) * scale[text[-1]]) if text[-1] in scale else int(text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--baseline-python", required=True, help="an interpreter with the other build installed")
    parser.add_argument("--sizes", nargs="+", type=parse_size, default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--calls", nargs="+", choices=CALLS, default=CALLS)
    args = parser.parse_args()

    from large_graph_blob import large_graph_blob

    builds = {"baseline": args.baseline_python, "this": sys.executable}
    version = {label: subprocess.run([python, "-c", "import quorvel_core, sys; print(quorvel_core.__file__)"],
                                     capture_output=True, text=True, check=True).stdout.strip()
               for label, python in builds.items()}
    for label, where in version.items():
        print(f"{label}: {where}")
    print(f"best of {args.rounds} rounds per build, the builds taking turns")
    calls = args.calls
    print(f"{'call':>18}{'nodes':>11}{'baseline ms':>13}{'this ms':>10}{'this/baseline':>15}")
    with tempfile.TemporaryDirectory() as folder:
        for n in args.sizes:
            path = pathlib.Path(folder) / f"{n}.blob"
            path.write_bytes(large_graph_blob(n))
            best = {label: {c: float("inf") for c in calls} for label in builds}
            for _ in range(args.rounds):
                for label, python in builds.items():
                    out = subprocess.run([python, "-c", WORKER, str(path), str(ROOT / "bench"), ",".join(calls)],
                                         capture_output=True, text=True, check=True).stdout
                    for call, seconds in json.loads(out).items():
                        best[label][call] = min(best[label][call], seconds)
            for call in calls:
                b, t = best["baseline"][call], best["this"][call]
                print(f"{call:>18}{n:>11,}{b * 1e3:>13.2f}{t * 1e3:>10.2f}{t / b:>15.3f}")


if __name__ == "__main__":
    main()
