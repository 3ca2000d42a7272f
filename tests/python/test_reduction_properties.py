"""Properties of reductions on random graphs: the report's counts, the node
map against an independent reachability model, outputs in order and
multiplicity, determinism, idempotence, and independence from the way
threads interleaved while the graph was built."""

import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvel_core import GraphStore
from test_reduction import decode_blob

OP_CHOICES = [
    ("f", None), ("g", {"k": 1}), ("sub", None), ("add", None), ("mul", None), ("maximum", None),
    ("add", {"scalar": 0.0, "side": "r"}), ("add", {"scalar": 0.0, "side": "l"}),
    ("mul", {"scalar": 1.0, "side": "r"}), ("mul", {"scalar": 1.0, "side": "l"}),
    ("add", {"scalar": -0.0, "side": "r"}), ("add", {"scalar": 0, "side": "r"}),
]
DESCRIPTORS = [
    {"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"},
    {"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s", "preprocessing_ref": "-"},
    {"kind": "a|b", "content_hash": "c", "framework": "f", "version": "1", "io_schema": "s"},
    {"kind": "a", "content_hash": "b|c", "framework": "f", "version": "1", "io_schema": "s"},
]

# Small picks often name the same few nodes, so that equal tokens meet on
# equal inputs.
pick = st.one_of(st.integers(0, 3), st.integers(0, 10**6))
step = st.tuples(
    st.sampled_from(["source", "op", "op", "op", "op", "reduction", "join", "exchange", "external", "external"]),
    st.integers(0, len(OP_CHOICES) - 1),
    st.lists(pick, min_size=1, max_size=3),
)
graphs = st.tuples(
    st.lists(step, min_size=3, max_size=40),
    st.lists(pick, max_size=6),
    st.booleans(),
)


def build(program):
    """The store and, per node id, its kind and input ids."""
    s = GraphStore()
    model = {}
    for kind, choice, picks in program:
        n = s.node_count()
        inputs = [p % n for p in picks] if n else []
        if not inputs:
            kind = "source"
        if kind == "source":
            node, inputs = s.add_source(f"s{choice % 3}"), []
        elif kind == "op":
            name, params = OP_CHOICES[choice]
            # The two-input operators get two inputs, the identities one.
            width = 2 if params is None and name != "f" else 1
            inputs = (inputs * 2)[:width]
            node = s.add_op(name, inputs, params)
        elif kind == "reduction":
            node = s.add_reduction("sum", inputs[:1])
        elif kind == "join":
            inputs = (inputs * 2)[:2]
            node = s.add_join(inputs)
        elif kind == "exchange":
            node = s.add_exchange(inputs[:1], {"scheme": "hash"})
        else:
            inputs = inputs[:1 + choice // 4 % 2]
            node = s.add_external(DESCRIPTORS[choice % len(DESCRIPTORS)], inputs)
        model.setdefault(node, (kind, inputs[:1] if kind in ("reduction", "exchange") else inputs))
    return s, model


def latest(picks, n):
    """Output ids; small picks name the latest nodes, which reach the most."""
    return [n - 1 - p % n for p in picks]


def reachable(model, outputs):
    seen, stack = set(), list(outputs)
    while stack:
        x = stack.pop()
        if x not in seen:
            seen.add(x)
            stack.extend(model[x][1])
    return seen


def unique(xs):
    return list(dict.fromkeys(xs))


@settings(max_examples=150, deadline=None)
@given(graphs)
def test_reduction_invariants(case):
    program, picks, maximal = case
    s, model = build(program)
    n = s.node_count()
    outputs = latest(picks, n)
    result, rep = s.reduce(maximal_fusion=maximal, outputs=outputs)
    count = result.node_count()

    assert rep["input_nodes"] == n
    assert rep["input_nodes"] >= rep["reachable_nodes"] >= rep["canonical_nodes"] >= rep["reduced_nodes"]
    assert rep["reduced_nodes"] == rep["stages"] + rep["boundary_nodes"] == count

    nodes, result_outputs = decode_blob(result.serialize())
    assert sum(node.kind == "stage" for node in nodes) == rep["stages"]
    assert all(node.kind != "op" for node in nodes)

    source_nodes, _ = decode_blob(s.serialize([]))
    node_map = result.node_map()
    kept = reachable(model, outputs)
    assert len(node_map) == n
    assert rep["reachable_nodes"] == len(kept)
    assert {i for i, entry in enumerate(node_map) if entry is not None} == kept
    for i in kept:
        landed, member = node_map[i]
        assert landed < count
        target = nodes[landed]
        if member is not None:
            assert target.kind == "stage" and member < len(target.extra)
        if model[i][0] != "op":
            # Boundary nodes are never fused: each lands on a node with its own
            # content (kind, name, parameters, descriptor or members).
            assert member is None and target._replace(inputs=()) == source_nodes[i]._replace(inputs=())
    # Every requested output lands on the value of a node (a stage's last member).
    landings = []
    for o in outputs:
        landed, member = node_map[o]
        assert member is None or member == len(nodes[landed].extra) - 1
        landings.append(landed)
    assert result.outputs() == result_outputs == unique(landings)

    # Deterministic, and the three entry points agree.
    again, rep_again = s.reduce(maximal_fusion=maximal, outputs=outputs)
    assert again.serialize() == result.serialize() and rep_again == rep and again.node_map() == node_map
    if not maximal:
        incremental, rep_incremental = s.reduce_incremental(outputs=outputs)
        assert incremental.serialize() == result.serialize() and rep_incremental == rep
        assert incremental.node_map() == node_map
        assert s.reduction_report(outputs=outputs) == rep

    # A reduced store is a fixed point, also after a trip through its blob.
    for store in (result, GraphStore.deserialize(result.serialize())):
        fixed, rep_fixed = store.reduce(maximal_fusion=maximal)
        assert fixed.serialize() == result.serialize()
        assert rep_fixed["reduced_nodes"] == rep["reduced_nodes"] == rep_fixed["input_nodes"]
        assert fixed.node_map() == [(i, None) for i in range(count)]


@settings(max_examples=100, deadline=None)
@given(graphs)
def test_cone_keeps_the_reachable_nodes_in_order(case):
    program, picks, _ = case
    s, model = build(program)
    n = s.node_count()
    outputs = latest(picks, n)
    c = s.cone(outputs=outputs)
    kept = sorted(reachable(model, outputs))
    assert c.node_count() == len(kept)
    position = {old: new for new, old in enumerate(kept)}
    assert c.node_map() == [(position[i], None) if i in position else None for i in range(n)]
    assert c.outputs() == unique(position[o] for o in outputs)
    # The cone's nodes are the source's, renumbered.
    source_nodes, _ = decode_blob(s.serialize([]))
    cone_nodes, _ = decode_blob(c.serialize())
    for old, new in position.items():
        assert cone_nodes[new]._replace(inputs=()) == source_nodes[old]._replace(inputs=())
        assert cone_nodes[new].inputs == tuple(position[i] for i in source_nodes[old].inputs)
    # Reducing the cone equals reducing the source against the same outputs.
    assert c.reduce()[0].serialize() == s.reduce(outputs=outputs)[0].serialize()


# --- interleaved building ------------------------------------------------------------

THREADS = 4


def build_threaded(length):
    """Four threads intern shared nodes and private chains into one store at
    once. The set of nodes is always the same; their ids depend on the
    interleaving. Returns the store and each thread's last node."""
    s = GraphStore()
    barrier = threading.Barrier(THREADS)
    last = [None] * THREADS

    def work(t):
        barrier.wait()
        root = s.add_source("root")
        prev = s.add_source(f"own{t}")
        for i in range(length):
            # Interned by every thread; a boundary, so never part of a stage
            # (whose member order would follow the interleaving).
            shared = s.add_exchange([root], {"i": i % 7})
            if i % 4 == 0:
                prev = s.add_op("add", [prev], {"scalar": 0.0, "side": "r"})  # an identity
            elif i % 4 == 1:
                prev = s.add_join([prev, shared])
            elif i % 4 == 2:
                ab, ba = s.add_op("mul", [prev, shared]), s.add_op("mul", [shared, prev])  # one class
                prev = s.add_op(f"t{t}", [ab, ba])
            else:
                prev = s.add_op(f"t{t}", [prev], {"i": i})
        last[t] = prev

    workers = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return s, last


def canonical_form(store):
    """The reduced graph described from its outputs, without its ids: each
    node numbered by a depth-first walk that visits inputs in order."""
    nodes, outputs = decode_blob(store.serialize())
    number, order = {}, []
    for out in outputs:
        stack = [(out, False)]
        while stack:
            x, expanded = stack.pop()
            if x in number:
                continue
            if expanded:
                number[x] = len(order)
                order.append(x)
            else:
                stack.append((x, True))
                stack.extend((i, False) for i in reversed(nodes[x].inputs) if i not in number)
    return [nodes[x]._replace(inputs=tuple(number[i] for i in nodes[x].inputs)) for x in order], [
        number[o] for o in outputs]


@pytest.mark.parametrize("round_", range(3))
def test_reductions_do_not_depend_on_thread_interleaving(round_):
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        built = [build_threaded(60) for _ in range(2)]
    finally:
        sys.setswitchinterval(old)
    results = []
    for s, last in built:
        # The same content in id order, rebuilt by one thread in a new store
        # (a new hash seed), reduces to the same bytes.
        copy = GraphStore.deserialize(s.serialize(last))
        reduced, rep = s.reduce(outputs=last)
        copy_reduced, copy_rep = copy.reduce()
        assert copy_reduced.serialize() == reduced.serialize() and copy_rep == rep
        results.append((rep, canonical_form(reduced), s.node_count()))
    # Different interleavings give different ids but the same graph, so the
    # same report and the same reduced graph up to ids.
    assert results[0] == results[1]
