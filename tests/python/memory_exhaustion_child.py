"""Runs one public operation under a range of address-space limits, each
just above the process's current size, and reports what happened as JSON.

Usage: memory_exhaustion_child.py OPERATION main|thread

With "thread", every attempt runs on a new thread, so the call under the
limit is that thread's first call into the module. After every attempt the
limit is lifted, the store must be exactly as before and the operation must
then succeed with the same result as it gave without any limit. The process
exits 0 when everything held; a fault shows as another exit status (an
abort, a crash) or as a failure listed in the report.
"""

import ctypes
import json
import os
import pickle
import resource
import sys
import threading

import quorvel_core as qc

# Free heap memory would serve small operations under any limit: it is
# handed back to the system before each attempt.
_libc = ctypes.CDLL(None)

# Limits above the current size, in KiB: dense at the low end, where the
# first allocations of an operation fail, up to what every operation needs.
HEADROOMS_KIB = [0, 64, 256, 512, 1024, 2048, 3072, 4096, 6144, 8192, 12288, 16384, 32768, 65536, 131072]
NODES = 4000


def address_space_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * os.sysconf("SC_PAGESIZE")


def build(nodes):
    """A mixed pipeline graph: sources, identities, commuted twins, joins,
    exchanges, reductions and externals, with outputs marked."""
    store = qc.GraphStore()
    ids = [store.add_source("src", {"path": f"s3://bucket/{k}", "k": k}) for k in range(8)]
    model = qc.PayloadDescriptor(kind="onnx", content_hash="sha256:ab", framework="ort", version="1",
                                 io_schema="f32->f32")
    while len(ids) < nodes:
        i = len(ids)
        a, b = ids[i * 7 % len(ids)], ids[-1]
        kind = i % 7
        if kind == 0:
            ids.append(store.add_op("add", [a, b]))
        elif kind == 1:
            ids.append(store.add_op("add", [b, a]))
        elif kind == 2:
            ids.append(store.add_op("mul", [b], {"scalar": 1.0, "side": "r"}))
        elif kind == 3:
            ids.append(store.add_op("filter", [b], {"expr": f"x > {i}"}))
        elif kind == 4:
            ids.append(store.add_join([a, b], {"how": "inner"}))
        elif kind == 5:
            ids.append(store.add_exchange([b], {"scheme": "hash", "key": f"k{i % 13}"}))
        else:
            ids.append(store.add_external(model, [b], {"batch": i}))
    store.mark_outputs(ids[-5:])
    return store


def summary(result):
    """What an operation gave, in a form two runs can compare."""
    if isinstance(result, qc.GraphStore):
        return ("store", result.serialize(), result.node_count())
    if isinstance(result, tuple) and result and isinstance(result[0], qc.GraphStore):
        return ("reduced", result[0].serialize(), sorted(result[1].items()))
    return ("value", repr(result))


class Fixture:
    def __init__(self, nodes, stepped):
        self.nodes = nodes
        self.store = build(nodes)
        self.blob = self.store.serialize()
        self.reduced, _ = self.store.reduce()
        self.whole_cone = self.store.cone(outputs=list(range(nodes)))
        self.reducer = qc.IncrementalReducer()
        if stepped:
            self.reducer.step(self.store)

    def state(self):
        """Everything a failed call must leave as it was."""
        return (self.store.serialize(), self.store.node_count(), self.store.outputs(),
                self.reducer.watermark(), self.reducer.total_work(), self.reducer.canonical_count())


# Each operation is called once per attempt; it must not change the store
# when it fails, and must give the same result every time it succeeds.
OPERATIONS = {
    "add_source": lambda f: f.store.add_source("wide", {"text": "x" * (1 << 20)}),
    "add_op": lambda f: f.store.add_op("scale", list(range(f.nodes)) * 50, {"by": "y" * (1 << 20)}),
    "mark_outputs": lambda f: f.store.mark_outputs(list(range(f.nodes)) * 100),
    "serialize": lambda f: f.store.serialize(),
    "deserialize": lambda f: qc.GraphStore.deserialize(f.blob),
    "pickle": lambda f: pickle.loads(pickle.dumps(f.reduced)),
    "nodes": lambda f: f.store.nodes(),
    "node_map": lambda f: f.whole_cone.node_map(),
    "to_dot": lambda f: f.store.to_dot(),
    "cone": lambda f: f.store.cone(outputs=list(range(f.nodes - 40, f.nodes))),
    "reduce": lambda f: f.store.reduce(),
    "reduce_maximal": lambda f: f.store.reduce(maximal_fusion=True),
    "reduce_incremental": lambda f: f.store.reduce_incremental(),
    "reduction_report": lambda f: f.store.reduction_report(),
    "step": lambda f: f.reducer.step(f.store),
    "finalize": lambda f: f.reducer.finalize(f.store),
}
# These change the store or the reducer the first time they succeed: their
# attempts start from a fresh fixture, and the state they are compared
# against is the one after a successful call.
CHANGING = {"add_source", "add_op", "mark_outputs", "step"}
# A step that fails part-way keeps the nodes it consumed (and counts them).
PARTIAL = {"step"}


def attempt(operation, fixture, headroom_kib, on_thread):
    """Runs the operation once under the limit; returns "ok", "memory" or
    the unexpected exception's repr."""
    outcome = []

    def call():
        try:
            result = operation(fixture)
        except MemoryError:
            outcome.append("memory")
        except BaseException as e:  # noqa: B036 - anything else is a finding
            outcome.append(f"{type(e).__name__}: {e}")
        else:
            del result
            outcome.append("ok")

    start = threading.Event()
    worker = None
    if on_thread:
        # The thread (and its stack) exists before the limit is set; its
        # first call into the module is the one under the limit.
        worker = threading.Thread(target=lambda: (start.wait(), call()))
        worker.start()
    _libc.malloc_trim(0)
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space_bytes() + headroom_kib * 1024, hard))
    try:
        if on_thread:
            start.set()
            worker.join()
        else:
            call()
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    return outcome[0]


def main():
    name, mode = sys.argv[1], sys.argv[2]
    operation = OPERATIONS[name]
    stepped = name != "step"
    nodes = NODES
    counts = {"ok": 0, "memory": 0}
    failures = []
    # What the operation gave (or, for those that change the store, the
    # state it left) after each attempt, compared at the end with a run
    # without any limit: computing that first would leave its memory behind
    # for the attempts to reuse.
    seen = []
    fixture = Fixture(nodes, stepped)
    for headroom in HEADROOMS_KIB:
        if name in CHANGING:
            # The spent fixture goes first: its freed memory would otherwise
            # sit in the heap, where the attempt could be served under any
            # limit.
            fixture = None
            fixture = Fixture(nodes, stepped)
        before = fixture.state()
        outcome = attempt(operation, fixture, headroom, mode == "thread")
        if outcome not in counts:
            failures.append(f"{headroom} KiB: {outcome}")
            continue
        counts[outcome] += 1
        if outcome == "memory" and fixture.state() != before and name not in PARTIAL:
            failures.append(f"{headroom} KiB: the store or reducer changed although the call failed")
        # Without the limit, the operation works and gives what it gives in
        # a fresh process: nothing was poisoned or left half-done.
        if name not in CHANGING:
            seen.append((headroom, summary(operation(fixture))))
        else:
            if outcome == "memory":
                operation(fixture)
            seen.append((headroom, fixture.state()))
        if fixture.reducer.watermark() != fixture.reducer.total_work():
            failures.append(f"{headroom} KiB: total_work() no longer equals watermark()")
    reference = Fixture(nodes, stepped)
    result = summary(operation(reference))
    expected = reference.state() if name in CHANGING else result
    failures += [f"{headroom} KiB: the operation then gave another result or state"
                 for headroom, value in seen if value != expected]
    print(json.dumps({"counts": counts, "failures": failures}))


if __name__ == "__main__":
    main()
