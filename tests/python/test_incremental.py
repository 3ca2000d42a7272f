"""IncrementalReducer from Python: counters across steps, the three rules a
step applies as seen through canonical_count, finalize against
GraphStore.reduce, argument rules, copies refused, and threads."""

import copy
import inspect
import math
import pickle
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvel_core import GraphStore, IncrementalReducer
from test_reduction import decode_blob

REPORT_KEYS = {"input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"}
COMMUTATIVE = ["add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"]
IDENTITIES = [
    ("add", {"scalar": 0.0, "side": "r"}),
    ("add", {"scalar": 0.0, "side": "l"}),
    ("mul", {"scalar": 1.0, "side": "r"}),
    ("mul", {"scalar": 1.0, "side": "l"}),
]
NEAR_IDENTITIES = [
    ("add", {"scalar": -0.0, "side": "r"}),
    ("add", {"scalar": 0, "side": "r"}),
    ("add", {"scalar": 2.0, "side": "l"}),
    ("mul", {"scalar": 1.0, "side": "both"}),
    ("mul", {"scalar": 1.0, "side": "r", "round": True}),
    ("sub", {"scalar": 0.0, "side": "r"}),
]


def counters(r):
    return r.watermark(), r.total_work(), r.canonical_count()


def chain_store(n):
    s = GraphStore()
    for _ in range(n):
        grow_chain(s)
    return s


def grow_chain(s):
    k = s.node_count()
    return s.add_source("x") if k == 0 else s.add_op("f", [k - 1], {"i": k})


def full_result(pair):
    """Everything a reduction result shows: blob, outputs, node map, report."""
    store, report = pair
    return store.serialize(), store.outputs(), store.node_map(), report


# --- class surface ------------------------------------------------------------

METHODS = {
    "step": ("($self, store)",
             "Consume the nodes recorded in `store` since the last step. Returns how many were processed\n"
             "(the delta size). The reducer must always be fed the same store."),
    "watermark": ("($self)", "How many of the store's nodes have been consumed so far."),
    "total_work": ("($self)", "Cumulative nodes processed across all steps (== watermark: each node touched once)."),
    "canonical_count": ("($self)", "Size of the maintained canonical form."),
    "finalize": ("($self, store, *, maximal_fusion=False, outputs=None)",
                 "Finish: consume any remaining delta, then reduce the maintained canonical form against the\n"
                 "store's marked outputs \u2014 or, with `outputs=`, against EXACTLY that set (M22: stored marks\n"
                 "ignored). Returns the reduced store + report, exactly like `GraphStore.reduce`."),
}


@pytest.mark.parametrize("name", sorted(METHODS))
def test_signatures_and_docstrings(name):
    text_signature, body = METHODS[name]
    method = getattr(IncrementalReducer, name)
    assert method.__text_signature__ == text_signature
    assert method.__doc__ == body
    assert str(inspect.signature(getattr(IncrementalReducer(), name))) == "(" + text_signature[6:].lstrip(", ")


def test_class_docstring():
    assert IncrementalReducer.__doc__ == (
        "Genuinely incremental reduction (plan \u00a7A.1): feed it a store as the graph is being built; each\n"
        "`step` canonicalizes ONLY the nodes recorded since the last step (identity elimination,\n"
        "commutativity dedup, hash-consing \u2014 the same sound rules the SaturationEngine runs), so a concise\n"
        "canonical form is maintained while building and `finalize` does one linear pass instead of a\n"
        "whole-history optimization. `total_work()` counts nodes processed across all steps \u2014 it equals\n"
        "the node count of the store, no matter how many steps fed it (the incrementality witness)."
    )


def test_reducer_is_immutable_and_final():
    r = IncrementalReducer()
    assert not hasattr(r, "__dict__")
    with pytest.raises(AttributeError):
        r.step = None
    with pytest.raises(TypeError):
        type("Sub", (IncrementalReducer,), {})


@pytest.mark.parametrize(
    "duplicate",
    [copy.copy, copy.deepcopy] + [lambda r, p=p: pickle.dumps(r, protocol=p) for p in range(pickle.HIGHEST_PROTOCOL + 1)],
)
def test_copies_and_pickles_are_refused(raises, duplicate):
    s = chain_store(3)
    r = IncrementalReducer()
    r.step(s)
    with raises(TypeError, "cannot pickle or copy 'IncrementalReducer' object: create a new reducer and feed it the store"):
        duplicate(r)
    assert counters(r) == (3, 3, 3)


# --- counters -----------------------------------------------------------------

def test_new_reducer_is_empty():
    assert counters(IncrementalReducer()) == (0, 0, 0)


def test_steps_of_any_size_consume_each_node_once():
    s, r = GraphStore(), IncrementalReducer()
    assert r.step(s) == 0
    for delta in (3, 0, 7, 1, 0, 25):
        for _ in range(delta):
            grow_chain(s)
        assert r.step(s) == delta
        assert counters(r) == (s.node_count(),) * 3
    assert r.step(store=s) == 0
    assert counters(r) == (36, 36, 36)


def test_feeding_other_stores_continues_from_the_watermark():
    r = IncrementalReducer()
    assert r.step(chain_store(5)) == 5
    assert r.step(chain_store(2)) == 0  # smaller: nothing past the watermark
    assert counters(r) == (5, 5, 5)
    # A bigger store's nodes from id 5 on are taken as the continuation.
    assert r.step(chain_store(8)) == 3
    assert counters(r) == (8, 8, 8)


# --- the rules, through canonical_count ------------------------------------------

def one_op_after_a_source(name, params, width=1):
    s = GraphStore()
    x = s.add_source("x")
    s.add_op(name, [x] * width, params)
    r = IncrementalReducer()
    assert r.step(s) == 2
    return r


@pytest.mark.parametrize("name, params", IDENTITIES)
def test_identity_ops_add_nothing_to_the_canonical_form(name, params):
    assert counters(one_op_after_a_source(name, params)) == (2, 2, 1)


@pytest.mark.parametrize("name, params", NEAR_IDENTITIES)
def test_near_identities_are_kept(name, params):
    assert counters(one_op_after_a_source(name, params)) == (2, 2, 2)


@pytest.mark.parametrize("width", [0, 2, 3])
def test_identity_tokens_on_other_input_counts_are_ordinary_nodes(width):
    name, params = IDENTITIES[0]
    r = one_op_after_a_source(name, params, width)
    assert counters(r) == (2, 2, 2)
    # And finalize keeps the node, as the one-shot reduction does.
    s = GraphStore()
    x = s.add_source("x")
    node = s.add_op(name, [x] * width, params)
    top = s.add_op("g", [node])
    r = IncrementalReducer()
    assert full_result(r.finalize(s, outputs=[top])) == full_result(s.reduce(outputs=[top]))


@pytest.mark.parametrize("name", COMMUTATIVE)
def test_commuted_twins_share_one_canonical_node(name):
    s = GraphStore()
    x, y = s.add_source("x"), s.add_source("y")
    first = s.add_op(name, [x, y])
    second = s.add_op(name, [y, x])
    r = IncrementalReducer()
    r.step(s)
    assert counters(r) == (4, 4, 3)
    landed = r.finalize(s, outputs=[first, second])[0].node_map()
    assert landed[first] == landed[second]


@pytest.mark.parametrize("name, params, width", [
    ("sub", None, 2), ("max", None, 2), ("add", {"k": 1}, 2), ("add", None, 3),
])
def test_other_ops_keep_both_orientations(name, params, width):
    s = GraphStore()
    x, y = s.add_source("x"), s.add_source("y")
    s.add_op(name, ([x, y] * 2)[:width], params)
    s.add_op(name, ([y, x] * 2)[:width], params)
    r = IncrementalReducer()
    r.step(s)
    assert counters(r) == (4, 4, 4)


def test_ops_on_merged_nodes_are_hash_consed():
    s = GraphStore()
    x, y = s.add_source("x"), s.add_source("y")
    s.add_op("f", [s.add_op("add", [x], IDENTITIES[0][1])])  # f(x + 0)
    s.add_op("f", [x])                                         # f(x)
    s.add_op("g", [s.add_op("add", [x, y])])                   # g(add(x, y))
    s.add_op("g", [s.add_op("add", [y, x])])                   # g(add(y, x))
    r = IncrementalReducer()
    r.step(s)
    assert counters(r) == (9, 9, 5)


# --- finalize ----------------------------------------------------------------------

def test_finalize_returns_the_reduced_store_and_a_report():
    s = chain_store(4)
    r = IncrementalReducer()
    store, report = r.finalize(s, outputs=[3])
    assert isinstance(store, GraphStore)
    assert set(report) == REPORT_KEYS and all(type(v) is int for v in report.values())
    assert report == s.reduce(outputs=[3])[1]
    assert counters(r) == (4, 4, 4)
    assert s.node_count() == 4 and s.outputs() == []


def test_report_counts_the_canonical_form():
    s = GraphStore()
    x = s.add_source("x")
    a = s.add_op("add", [x], IDENTITIES[1][1])
    b = s.add_op("mul", [a], IDENTITIES[2][1])
    out = s.add_op("neg", [b])
    r = IncrementalReducer()
    _, report = r.finalize(s, outputs=[out])
    assert report == {"input_nodes": 2, "reachable_nodes": 2, "canonical_nodes": 2, "stages": 1,
                      "reduced_nodes": 2, "boundary_nodes": 1}
    assert s.reduce(outputs=[out])[1]["input_nodes"] == 4


def test_finalize_twice_gives_equal_results():
    s = chain_store(6)
    r = IncrementalReducer()
    r.step(s)
    first = full_result(r.finalize(s, outputs=[5, 2]))
    assert full_result(r.finalize(s, outputs=[5, 2])) == first
    assert counters(r) == (6, 6, 6)


def test_finalize_after_more_steps_includes_the_new_nodes():
    s = chain_store(3)
    r = IncrementalReducer()
    before, _ = r.finalize(s, outputs=[2])
    for _ in range(4):
        grow_chain(s)
    r.step(s)
    grow_chain(s)  # consumed by finalize itself
    after, report = r.finalize(s, outputs=[7])
    assert len(before.node_map()) == 3
    assert len(after.node_map()) == 8
    assert all(entry is not None for entry in after.node_map())
    assert report["input_nodes"] == report["reachable_nodes"] == 8
    assert counters(r) == (8, 8, 8)


def test_finalize_without_outputs_uses_the_marks():
    built = chain_store(5)
    marked = GraphStore.deserialize(built.serialize(outputs=[3, 1]))
    r = IncrementalReducer()
    assert full_result(r.finalize(marked)) == full_result(marked.reduce())
    # A store built node by node has no marks: nothing is reachable.
    r2 = IncrementalReducer()
    store, report = r2.finalize(built)
    assert store.node_count() == 0 and store.node_map() == [None] * 5
    assert report == {"input_nodes": 5, "reachable_nodes": 0, "canonical_nodes": 0, "stages": 0,
                      "reduced_nodes": 0, "boundary_nodes": 0}


@pytest.mark.parametrize("outputs, bad", [([5], 5), ([0, 4, 9, 5], 9)])
def test_bad_explicit_output_consumes_nothing(raises, outputs, bad):
    s = chain_store(5)
    r = IncrementalReducer()
    r.step(chain_store(2))
    with raises(ValueError, f"no node with id {bad}"):
        r.finalize(s, outputs=outputs)
    assert counters(r) == (2, 2, 2)


# --- argument rules ------------------------------------------------------------------

@pytest.mark.parametrize(
    "call, exc, message, note",
    [
        (lambda r, s: r.step(42), TypeError, "'int' object is not an instance of 'GraphStore'",
         "while processing 'store'"),
        (lambda r, s: r.step(None), TypeError, "'None' is not an instance of 'GraphStore'",
         "while processing 'store'"),
        (lambda r, s: r.step(), TypeError, "IncrementalReducer.step() missing 1 required positional argument: 'store'",
         None),
        (lambda r, s: r.step(s, store=s), TypeError, "IncrementalReducer.step() got multiple values for argument 'store'",
         None),
        (lambda r, s: r.finalize(IncrementalReducer()), TypeError,
         "'IncrementalReducer' object is not an instance of 'GraphStore'", "while processing 'store'"),
        (lambda r, s: r.finalize(s, maximal_fusion=1), TypeError, "'int' object is not an instance of 'bool'",
         "while processing 'maximal_fusion'"),
        (lambda r, s: r.finalize(s, maximal_fusion=None), TypeError, "'None' is not an instance of 'bool'",
         "while processing 'maximal_fusion'"),
        # The store is checked first, then maximal_fusion, then outputs.
        (lambda r, s: r.finalize(outputs="0", maximal_fusion=1, store=0), TypeError,
         "'int' object is not an instance of 'GraphStore'", "while processing 'store'"),
        (lambda r, s: r.finalize(s, outputs="0", maximal_fusion=1), TypeError,
         "'int' object is not an instance of 'bool'", "while processing 'maximal_fusion'"),
        (lambda r, s: r.finalize(s, outputs="0"), TypeError, "Can't extract `str` to `Vec`",
         "while processing 'outputs'"),
        (lambda r, s: r.finalize(s, outputs=[-1]), OverflowError, "can't convert negative int to unsigned",
         "while processing 'outputs'"),
        (lambda r, s: r.finalize(s, maximal=True), TypeError,
         "IncrementalReducer.finalize() got an unexpected keyword argument 'maximal'", None),
        (lambda r, s: r.watermark(s), TypeError, "IncrementalReducer.watermark() takes no arguments (1 given)", None),
        (lambda r, s: IncrementalReducer(s), TypeError,
         "IncrementalReducer.__new__() takes 0 positional arguments but 1 was given", None),
    ],
)
def test_argument_errors_leave_the_reducer_untouched(raises, call, exc, message, note):
    s = chain_store(4)
    r = IncrementalReducer()
    r.step(chain_store(2))
    with raises(exc, message, note):
        call(r, s)
    assert counters(r) == (2, 2, 2)


def test_subclass_of_graph_store_is_accepted():
    class Store(GraphStore):
        pass

    s = Store()
    s.add_source("x")
    assert IncrementalReducer().step(s) == 1


# --- threads ---------------------------------------------------------------------------

def test_threads_stepping_and_finalizing_while_others_build():
    s, r = GraphStore(), IncrementalReducer()
    s.add_source("root")
    building = threading.Barrier(5)
    errors = []

    def build(t):
        building.wait()
        for i in range(400):
            n = s.node_count()
            s.add_op("f", [i % n, n - 1], {"t": t, "i": i})

    def reduce(t):
        building.wait()
        try:
            for i in range(60):
                if i % 10 == t:
                    n = s.node_count()
                    _, report = r.finalize(s, outputs=[n - 1])
                    assert report["input_nodes"] >= n
                else:
                    r.step(s)
                assert r.total_work() <= r.watermark() <= s.node_count()
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=build, args=(t,)) for t in range(2)]
    threads += [threading.Thread(target=reduce, args=(t,)) for t in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    r.step(s)
    assert counters(r) == (801, 801, 801)
    assert full_result(r.finalize(s, outputs=[800, 3])) == full_result(s.reduce(outputs=[800, 3]))


# --- against GraphStore.reduce on random graphs ----------------------------------------

OPS = [("f", None, 1), ("g", {"k": 1}, 1), ("sub", None, 2), ("pow", None, 2), ("add", None, 3)]
COMMUTATIVE_OPS = [(name, None, 2) for name in ("add", "mul", "maximum", "eq")]
IDENTITY_OPS = [(name, params, 1) for name, params in IDENTITIES]
DESCRIPTOR = {"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"}

# One node: kind, a choice among its variants, input picks (small picks name
# the same few nodes, so that twins and merges occur), and whether to step
# after it.
one_node = st.tuples(
    st.sampled_from(["source", "op", "op", "op", "commutative", "commutative", "identity", "reduction", "join",
                     "external"]),
    st.integers(0, 7),
    st.lists(st.one_of(st.integers(0, 3), st.integers(0, 10**6)), min_size=3, max_size=3),
    st.booleans(),
)
programs = st.tuples(
    st.lists(one_node, min_size=1, max_size=40),
    st.lists(st.integers(0, 10**6), min_size=1, max_size=4),
    st.booleans(),
)


def is_identity(name, params, inputs):
    return (len(inputs) == 1 and name in ("add", "mul") and params is not None and set(params) == {"scalar", "side"}
            and type(params["scalar"]) is float and params["side"] in ("r", "l")
            and math.copysign(1.0, params["scalar"]) == 1.0 and params["scalar"] == (0.0 if name == "add" else 1.0))


def build_stepping(program, reducer):
    """Builds the program into a new store, stepping the reducer where the
    program says. Returns the store and whether it holds an identity op or
    both orientations of a commutative op."""
    s = GraphStore()
    ops = {}  # op id -> (name, params, inputs)
    merges = False
    for kind, choice, picks, step_after in program:
        n = s.node_count()
        inputs = [n - 1 - p % n for p in picks] if n else []
        if not inputs or kind == "source":
            s.add_source(f"s{choice % 3}")
        elif kind in ("op", "commutative", "identity"):
            table = {"op": OPS, "commutative": COMMUTATIVE_OPS, "identity": IDENTITY_OPS}[kind]
            name, params, width = table[choice % len(table)]
            node = s.add_op(name, inputs[:width], params)
            if node == n:
                twin = (name, params, inputs[:width][::-1])
                merges = merges or is_identity(name, params, inputs[:width]) or (
                    name in COMMUTATIVE and params is None and width == 2 and twin in ops.values())
                ops[node] = (name, params, inputs[:width])
        elif kind == "reduction":
            s.add_reduction("sum", inputs[:1])
        elif kind == "join":
            s.add_join(inputs[:2])
        else:
            s.add_external(DESCRIPTOR, inputs[:1 + choice % 2])
        if step_after:
            reducer.step(s)
    return s, merges


def value_numbers(blob, table):
    """Value number of every node of a reduced store and of every member of
    its stages, up to commutativity: node id -> (value, member values)."""
    nodes, _ = decode_blob(blob)
    values = []
    for node in nodes:
        args = [values[i][0] for i in node.inputs]
        if node.kind != "stage":
            values.append((table.setdefault((node.kind, node.name, node.params, node.extra, tuple(args)), len(table)),
                           []))
            continue
        members = []
        for token, refs in node.extra:
            margs = [args[i] if kind == "input" else members[i] for kind, i in refs]
            if token in ("op|" + name for name in COMMUTATIVE) and len(margs) == 2:
                margs.sort()
            members.append(table.setdefault((token, tuple(margs)), len(table)))
        values.append((members[-1], members))
    return values


def landing_value(values, entry):
    node, member = entry
    return values[node][0] if member is None else values[node][1][member]


@settings(max_examples=300, deadline=None)
@given(programs)
def test_finalize_in_random_steps_matches_reduce(program):
    nodes, picks, maximal = program
    r = IncrementalReducer()
    s, merges = build_stepping(nodes, r)
    n = s.node_count()
    outputs = [n - 1 - p % n for p in picks]
    incremental = r.finalize(s, outputs=outputs, maximal_fusion=maximal)
    one_shot = s.reduce(outputs=outputs, maximal_fusion=maximal)
    assert r.watermark() == r.total_work() == n
    assert len(incremental[0].node_map()) == n
    if not merges:
        assert r.canonical_count() == n
        assert full_result(incremental) == full_result(one_shot)
        return
    # Merged nodes may keep another orientation, or land in another order;
    # every output still lands on a node that computes the same value.
    table = {}
    incremental_values = value_numbers(incremental[0].serialize(), table)
    one_shot_values = value_numbers(one_shot[0].serialize(), table)
    for o in outputs:
        assert landing_value(incremental_values, incremental[0].node_map()[o]) == landing_value(
            one_shot_values, one_shot[0].node_map()[o])
    assert r.canonical_count() < n
