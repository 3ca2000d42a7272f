"""Many threads on one GraphStore and one IncrementalReducer at once, for a
bounded time, then every recorded result checked against a single-threaded
recomputation.

While the graph grows, builders race to intern the same keys (and intern old
ones again), a marker marks outputs, reducers reduce under both fusion rules
(against explicit outputs and against the marks), inspectors take cones, node
views, DOT text, blobs and pickles, steppers and a finalizer feed one shared
IncrementalReducer, a monitor reads every counter and a collector runs the
garbage collector. Afterwards:

- equal keys got one id, different keys different ids, and the ids are
  exactly 0..N-1;
- no counter (node count, marks, watermark, total work, canonical count)
  went backwards, and total_work() equals the nodes consumed;
- the graph, interned again node by node on one thread in id order, gives the
  same ids and the same blob;
- every recorded result equals the same call on that single-threaded graph
  when it had as many nodes as the result saw (its prefix), with the marks it
  could have seen (a prefix of the final marks, between the counts read just
  before and just after the call).

Runs on any interpreter; on a free-threaded one it also fails if the GIL was
enabled. Exits non-zero on any mismatch or error.

    python tests/stress/threads_stress.py --seconds 30
"""

import argparse
import copy
import gc
import hashlib
import os
import pickle
import random
import sys
import sysconfig
import threading
import time
import traceback
from collections import Counter, defaultdict

import quorvel_core as qc

COMMUTATIVE = ("add", "mul", "and", "or", "eq", "ne", "maximum", "minimum")
IDENTITIES = ({"scalar": 0.0, "side": "l"}, {"scalar": 0.0, "side": "r"}, {"scalar": 1.0, "side": "l"},
              {"scalar": 1.0, "side": "r"})
DESCRIPTORS = [dict(kind="onnx", content_hash=f"sha256:{h}", framework="onnxruntime", version="1.18",
                    io_schema="f32[n]->f32[n]") for h in ("ab12", "cd34")]


def digest(data):
    if not isinstance(data, bytes):
        data = repr(data).encode()
    return hashlib.blake2b(data, digest_size=16).digest()


def definition(k):
    """The node of key k: (kind, name or descriptor index, params, input keys).
    Inputs are earlier keys, mostly recent ones, so that op chains fuse; small
    pools make commutative twins, identities and equal definitions common."""
    r = random.Random(k)
    if k < 4 or r.random() < 0.06:
        return ("source", f"s{k % 5}", (("part", k % 7),), ())

    def pick():
        return k - 1 - r.randrange(min(k, 6)) if r.random() < 0.85 else r.randrange(k)

    roll = r.random()
    if roll < 0.55:
        if r.random() < 0.4:
            return ("op", r.choice(COMMUTATIVE), (), (pick(), pick()))
        if r.random() < 0.3:
            name = "add" if r.random() < 0.5 else "mul"
            params = dict(r.choice(IDENTITIES))
            if r.random() < 0.2:
                params["scalar"] = 2.0
            return ("op", name, tuple(sorted(params.items())), (pick(),))
        return ("op", r.choice(("f", "g", "sub")), (("w", r.randrange(3)),), (pick(),))
    if roll < 0.7:
        return ("reduction", r.choice(("sum", "max")), (("axis", r.randrange(2)),), (pick(),))
    if roll < 0.8:
        return ("exchange", "", (("scheme", r.choice(("hash", "range"))),), (pick(),))
    if roll < 0.9:
        return ("join", "", (("how", "inner"),), (pick(), pick()))
    return ("external", r.randrange(len(DESCRIPTORS)), (("batch", 8),), (pick(),))


def intern(store, d, ids):
    """Interns definition d in store, its input keys resolved through ids."""
    kind, name, params, input_keys = d
    inputs = [ids[j] for j in input_keys]
    params = dict(params)
    if kind == "source":
        return store.add_source(name, params)
    if kind == "op":
        return store.add_op(name, inputs, params)
    if kind == "reduction":
        return store.add_reduction(name, inputs, params)
    if kind == "exchange":
        return store.add_exchange(inputs, params)
    if kind == "join":
        return store.add_join(inputs, params)
    return store.add_external(DESCRIPTORS[name], inputs, params)


def reduced_record(result):
    reduced, report = result
    return (sorted(report.items()), digest(reduced.serialize()), digest(reduced.node_map()))


def view_record(view):
    """A node view without its output flags, and the ids it showed marked."""
    return digest([{k: v for k, v in e.items() if k != "output"} for e in view]), {e["id"] for e in view if e["output"]}


def dot_record(dot):
    marked = set()
    for line in dot.splitlines():
        if line.endswith(", shape=doublecircle];"):
            marked.add(int(line[3:line.index(" [label=")]))
    return digest(dot.replace(", shape=doublecircle];", "];")), marked


class Stress:
    def __init__(self, seconds, keys, seed):
        self.seconds = seconds
        self.keys = keys
        self.seed = seed
        self.store = qc.GraphStore()
        self.reducer = qc.IncrementalReducer()
        self.stop = threading.Event()
        self.start_time = 0.0
        self.errors = []
        self.ops = Counter()
        self.ops_lock = threading.Lock()
        self.builder_ids = []  # per builder: key -> id
        self.marked = []  # per marker call: ids marked
        self.records = []  # (kind, n, marks_before, marks_after, args, result)
        self.records_lock = threading.Lock()
        self.checked = Counter()  # verified records by kind

    # --- helpers ---------------------------------------------------------------
    def record(self, *entry):
        with self.records_lock:
            self.records.append(entry)

    def count(self, counts):
        with self.ops_lock:
            self.ops.update(counts)

    def frontier(self):
        """How many keys the builders may have built by now: the graph grows
        through the whole run instead of in its first second."""
        share = (time.monotonic() - self.start_time) / (self.seconds * 0.9)
        return min(self.keys, max(8, int(self.keys * share)))

    def some_ids(self, rng, most=6):
        n = self.store.node_count()
        if n == 0:
            return []
        return [rng.randrange(n) if rng.random() < 0.5 else n - 1 - rng.randrange(min(n, 50))
                for _ in range(rng.randrange(1, most + 1))]

    def run_role(self, name, body, rng):
        counts = Counter()
        try:
            while not self.stop.is_set():
                body(rng, counts)
        except BaseException:
            self.errors.append(f"{name}: {traceback.format_exc()}")
            self.stop.set()
        self.count(counts)

    # --- roles -----------------------------------------------------------------
    def builder(self):
        ids = {}
        self.builder_ids.append(ids)
        state = {"next": 0}

        def body(rng, counts):
            k = state["next"]
            if k < self.frontier():
                ids[k] = intern(self.store, definition(k), ids)
                state["next"] = k + 1
                counts["add_*"] += 1
            else:
                # Intern an old key again: it must keep its id.
                j = rng.randrange(k)
                assert intern(self.store, definition(j), ids) == ids[j], ("id changed", j)
                counts["add_* again"] += 1
                if rng.random() < 0.02:
                    time.sleep(0.0005)

        return body

    def marker(self, rng, counts):
        chosen = self.some_ids(rng, 3)
        if not chosen:
            return
        if rng.random() < 0.5:
            self.store.mark_output(chosen[0])
            self.marked.append(chosen[:1])
        else:
            self.store.mark_outputs(chosen)
            self.marked.append(chosen)
        counts["mark"] += 1
        if rng.random() < 0.05:
            bad = self.store.node_count() + 1000
            try:
                self.store.mark_outputs([chosen[0], bad])
            except ValueError as e:
                assert str(e) == f"no node with id {bad}", e
            else:
                raise AssertionError("a bad id was marked")
        time.sleep(0.002)

    def reducer_role(self, rng, counts):
        store = self.store
        outputs = self.some_ids(rng)
        maximal = rng.random() < 0.5
        roll = rng.random()
        if roll < 0.6:
            result = store.reduce(maximal_fusion=maximal, outputs=outputs)
            self.record("reduce", result[1]["input_nodes"], 0, 0, (tuple(outputs), maximal), reduced_record(result))
            counts["reduce"] += 1
        elif roll < 0.75:
            report = store.reduction_report(outputs=outputs)
            self.record("reduce", report["input_nodes"], 0, 0, (tuple(outputs), False), ("report", sorted(report.items())))
            counts["reduction_report"] += 1
        elif roll < 0.85:
            result = store.reduce_incremental(outputs=outputs)
            self.record("reduce", result[1]["input_nodes"], 0, 0, (tuple(outputs), False), reduced_record(result))
            counts["reduce_incremental"] += 1
        elif roll < 0.97:
            before = len(store.outputs())
            result = store.reduce(maximal_fusion=maximal)
            after = len(store.outputs())
            self.record("reduce marks", result[1]["input_nodes"], before, after, (maximal,), reduced_record(result))
            counts["reduce (marks)"] += 1
        else:
            bad = store.node_count() + 1000
            try:
                store.reduce(outputs=[bad])
            except ValueError as e:
                assert str(e) == f"no node with id {bad}", e
            else:
                raise AssertionError("a bad output was reduced")
            counts["reduce (bad id)"] += 1

    def inspector(self, rng, counts):
        store = self.store
        roll = rng.random()
        before = len(store.outputs())
        if roll < 0.3:
            outputs = self.some_ids(rng)
            cone = store.cone(outputs=outputs)
            node_map = cone.node_map()
            self.record("cone", len(node_map), 0, 0, (tuple(outputs),),
                        (digest(cone.serialize()), digest(node_map)))
            counts["cone"] += 1
        elif roll < 0.45:
            view = store.nodes()
            after = len(store.outputs())
            self.record("nodes", len(view), before, after, (), view_record(view))
            counts["nodes"] += 1
        elif roll < 0.6:
            dot = store.to_dot()
            after = len(store.outputs())
            n = dot.count(" [label=")
            self.record("to_dot", n, before, after, (), dot_record(dot))
            counts["to_dot"] += 1
        elif roll < 0.8:
            outputs = self.some_ids(rng) if rng.random() < 0.5 else None
            blob = store.serialize(outputs)
            again = qc.GraphStore.deserialize(blob)
            if outputs is None or len(set(outputs)) == len(outputs):  # reading drops repeated outputs
                assert again.serialize() == blob, "a blob does not round-trip"
            after = len(store.outputs())
            marks = again.outputs()
            args = (tuple(outputs),) if outputs is not None else ()
            self.record("serialize" if outputs is not None else "serialize marks", again.node_count(), before,
                        after, args, (digest(again.serialize(outputs=[])), marks))
            counts["serialize+deserialize"] += 1
        else:
            copied = pickle.loads(pickle.dumps(store)) if rng.random() < 0.7 else copy.deepcopy(store)
            after = len(store.outputs())
            self.record("pickle", copied.node_count(), before, after, (),
                        (digest(copied.serialize(outputs=[])), copied.outputs()))
            counts["pickle/copy"] += 1

    def stepper(self, rng, counts):
        consumed = self.reducer.step(self.store)
        assert consumed >= 0
        counts["step"] += 1
        if consumed == 0:
            time.sleep(0.001)

    def finalizer(self, rng, counts):
        maximal = rng.random() < 0.5
        if rng.random() < 0.75:
            outputs = self.some_ids(rng)
            result = self.reducer.finalize(self.store, outputs=outputs, maximal_fusion=maximal)
            self.record("finalize", len(result[0].node_map()), 0, 0, (tuple(outputs), maximal),
                        reduced_record(result))
        else:
            before = len(self.store.outputs())
            result = self.reducer.finalize(self.store, maximal_fusion=maximal)
            after = len(self.store.outputs())
            self.record("finalize marks", len(result[0].node_map()), before, after, (maximal,),
                        reduced_record(result))
        counts["finalize"] += 1
        time.sleep(0.005)

    def monitor(self):
        last = {"watermark": 0, "total_work": 0, "canonical_count": 0, "node_count": 0, "marks": 0}

        def body(rng, counts):
            canonical = self.reducer.canonical_count()
            watermark = self.reducer.watermark()
            total = self.reducer.total_work()
            nodes = self.store.node_count()
            marks = len(self.store.outputs())
            now = {"watermark": watermark, "total_work": total, "canonical_count": canonical, "node_count": nodes,
                   "marks": marks}
            for name, value in now.items():
                assert value >= last[name], (name, "went back", last[name], value)
            # Read in this order, each counter can only have grown since the
            # one before it was read.
            assert canonical <= watermark <= total <= nodes, now
            last.update(now)
            counts["counters"] += 1
            time.sleep(0.0002)

        return body

    def collector(self, rng, counts):
        gc.collect()
        counts["gc.collect"] += 1
        time.sleep(0.01)

    # --- the run ---------------------------------------------------------------
    def run(self):
        roles = [(f"builder{i}", self.builder()) for i in range(4)]
        roles += [("marker", self.marker), ("reducer0", self.reducer_role), ("reducer1", self.reducer_role),
                  ("inspector0", self.inspector), ("inspector1", self.inspector), ("stepper0", self.stepper),
                  ("stepper1", self.stepper), ("finalizer", self.finalizer), ("monitor", self.monitor()),
                  ("collector", self.collector)]
        barrier = threading.Barrier(len(roles) + 1)

        def start(name, body, rng):
            barrier.wait()
            self.run_role(name, body, rng)

        threads = [threading.Thread(target=start, args=(name, body, random.Random(self.seed * 1000 + i)), name=name)
                   for i, (name, body) in enumerate(roles)]
        for t in threads:
            t.start()
        self.start_time = time.monotonic()
        barrier.wait()
        self.stop.wait(self.seconds)
        self.stop.set()
        for t in threads:
            t.join()
        return len(threads)

    # --- checks ----------------------------------------------------------------
    def verify(self):
        failures = []
        store = self.store
        n_final = store.node_count()
        # Equal keys got one id, different keys different ids.
        key_id = {}
        for ids in self.builder_ids:
            for k, i in ids.items():
                if key_id.setdefault(k, i) != i:
                    failures.append(f"key {k} got ids {key_id[k]} and {i}")
        # A node is its definition with the inputs as ids: keys of different
        # definitions are the same node when their inputs are.
        by_node = {}
        keys_of_id = defaultdict(list)
        for k, i in sorted(key_id.items()):
            kind, name, params, input_keys = definition(k)
            node = (kind, name, params, tuple(key_id[j] for j in input_keys))
            if by_node.setdefault(node, i) != i:
                failures.append(f"one node got ids {by_node[node]} and {i}")
            keys_of_id[i].append(k)
        if len(set(by_node.values())) != len(by_node):
            failures.append("different nodes share an id")
        id_key = {i: keys[0] for i, keys in keys_of_id.items()}
        if sorted(id_key) != list(range(n_final)):
            failures.append(f"ids are not 0..{n_final - 1}: {len(id_key)} distinct")
            return failures
        final_outputs = store.outputs()
        marked = {i for m in self.marked for i in m}
        if set(final_outputs) != marked or len(final_outputs) != len(marked):
            failures.append("the marks are not the marked ids, once each")
        # The incremental reducer consumed every node exactly once.
        self.reducer.step(store)
        if not self.reducer.watermark() == self.reducer.total_work() == n_final:
            failures.append(f"watermark {self.reducer.watermark()}, total_work {self.reducer.total_work()}, "
                            f"{n_final} nodes")

        # Replay on one thread, in id order, and check the records at their prefixes.
        by_prefix = defaultdict(list)
        for entry in self.records:
            by_prefix[entry[1]].append(entry)
        replay = qc.GraphStore()
        key_to_replay_id = {}
        for n in range(n_final + 1):
            if n in by_prefix:
                for entry in by_prefix.pop(n):
                    problem = self.check(replay, entry, final_outputs)
                    self.checked[entry[0]] += 1
                    if problem:
                        failures.append(f"{entry[0]} at {n} nodes {entry[4]}: {problem}")
            if n == n_final:
                break
            got = intern(replay, definition(id_key[n]), key_to_replay_id)
            for k in keys_of_id[n]:
                key_to_replay_id[k] = got
            if got != n:
                failures.append(f"replay gave id {got} to node {n}")
                return failures
        if by_prefix:
            failures.append(f"records at prefixes beyond the graph: {sorted(by_prefix)[:5]}")
        if replay.serialize(outputs=[]) != store.serialize(outputs=[]):
            failures.append("the single-threaded graph differs from the shared one")
        return failures

    @staticmethod
    def marks_between(final_outputs, before, after, n):
        """The mark lists the call could have seen."""
        return [final_outputs[:m] for m in range(before, after + 1) if all(i < n for i in final_outputs[:m])]

    def check(self, replay, entry, final_outputs):
        kind, n, before, after, args, got = entry
        if kind == "reduce":
            outputs, maximal = args
            if got[0] == "report":
                want = ("report", sorted(replay.reduction_report(outputs=list(outputs)).items()))
            else:
                want = reduced_record(replay.reduce(maximal_fusion=maximal, outputs=list(outputs)))
            return None if got == want else "differs"
        if kind == "finalize":
            outputs, maximal = args
            fresh = qc.IncrementalReducer()
            fresh.step(replay)
            want = reduced_record(fresh.finalize(replay, outputs=list(outputs), maximal_fusion=maximal))
            return None if got == want else "differs"
        if kind == "cone":
            cone = replay.cone(outputs=list(args[0]))
            return None if got == (digest(cone.serialize()), digest(cone.node_map())) else "differs"
        if kind == "serialize":
            again = qc.GraphStore.deserialize(replay.serialize(outputs=list(args[0])))
            want = (digest(again.serialize(outputs=[])), again.outputs())
            return None if got == want else "differs"
        # The rest saw the marks of the moment: some prefix of the final marks.
        candidates = self.marks_between(final_outputs, before, after, n)
        if kind == "reduce marks":
            for marks in candidates:
                marked = qc.GraphStore.deserialize(replay.serialize(outputs=marks))
                if reduced_record(marked.reduce(maximal_fusion=args[0])) == got:
                    return None
            return "matches no marks it could have seen"
        if kind == "finalize marks":
            fresh = qc.IncrementalReducer()
            fresh.step(replay)
            for marks in candidates:
                if reduced_record(fresh.finalize(replay, outputs=marks, maximal_fusion=args[0])) == got:
                    return None
            return "matches no marks it could have seen"
        if kind in ("serialize marks", "pickle"):
            blob_digest, marks = got
            if blob_digest != digest(replay.serialize(outputs=[])):
                return "nodes differ"
            return None if marks in candidates else f"marks {marks[:5]} are no prefix it could have seen"
        if kind == "nodes":
            view_digest, marked = got
            if view_digest != view_record(replay.nodes())[0]:
                return "nodes differ"
            return None if any(set(c) == marked for c in candidates) else "marks it could not have seen"
        if kind == "to_dot":
            dot_digest, marked = got
            if dot_digest != dot_record(replay.to_dot())[0]:
                return "text differs"
            return None if any(set(c) == marked for c in candidates) else "marks it could not have seen"
        return f"unknown record kind {kind}"


def gil_enabled():
    return sysconfig.get_config_var("Py_GIL_DISABLED") == 1 and sys._is_gil_enabled()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=30.0, help="how long the threads run (default 30)")
    parser.add_argument("--keys", type=int, default=0, help="distinct keys the graph grows to (default: 1500/s)")
    parser.add_argument("--seed", type=int, default=int.from_bytes(os.urandom(4), "little"))
    args = parser.parse_args(argv)
    keys = args.keys or max(200, int(1500 * args.seconds))
    free_threaded = sysconfig.get_config_var("Py_GIL_DISABLED") == 1
    print(f"threads stress: {args.seconds:g} s, {keys} keys, seed {args.seed}, "
          f"{'free-threaded' if free_threaded else 'GIL'} CPython {sys.version.split()[0]}", flush=True)
    stress = Stress(args.seconds, keys, args.seed)
    started = time.monotonic()
    threads = stress.run()
    ran = time.monotonic() - started
    failures = list(stress.errors)
    if not failures:
        failures = stress.verify()
    if gil_enabled():
        failures.append("the GIL is enabled")
    total = sum(stress.ops.values())
    print(f"{threads} threads, {total} operations in {ran:.1f} s on a graph of {stress.store.node_count()} nodes "
          f"({len(stress.store.outputs())} marked); {len(stress.records)} results recorded", flush=True)
    print("  " + ", ".join(f"{name} {count}" for name, count in sorted(stress.ops.items())))
    if not failures:
        print("  checked against one thread: " + ", ".join(f"{k} {v}" for k, v in sorted(stress.checked.items())))
        print(f"0 mismatches (verified in {time.monotonic() - started - ran:.1f} s)")
        return 0
    for failure in failures[:20]:
        print("FAIL:", failure, file=sys.stderr)
    print(f"{len(failures)} mismatches or errors", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
