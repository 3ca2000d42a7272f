import math
import struct

from hypothesis import given, settings
from hypothesis import strategies as st

from quorvel_core import GraphStore

INT64 = range(-(2**63), 2**63)

DESCRIPTORS = [
    {"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"},
    {"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s", "preprocessing_ref": "p"},
    {"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s", "preprocessing_ref": ""},
]

param_values = st.one_of(
    st.booleans(),
    st.integers(min_value=-(2**65), max_value=2**65),
    st.sampled_from([0, 1, -1, 2**63, -(2**63), 2**63 - 1]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 1.0, float("nan"), struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000001))[0]]),
    st.text(alphabet="ab|;=%é", max_size=3),
)

steps = st.lists(
    st.tuples(
        st.sampled_from(["source", "op", "reduction", "exchange", "join", "external"]),
        st.sampled_from(["a", "b", "a|b", ""]),
        st.dictionaries(st.sampled_from(["x", "y", "é", ""]), param_values, max_size=3),
        st.lists(st.integers(min_value=0, max_value=1000), max_size=3),
        st.integers(min_value=0, max_value=len(DESCRIPTORS) - 1),
    ),
    min_size=1,
    max_size=40,
)


def canonical_value(value):
    """The identity of a parameter value as the store defines it."""
    if type(value) is bool:
        return ("bool", value)
    if isinstance(value, int):
        if value in INT64:
            return ("int", value)
        value = float(value)
    if isinstance(value, float):
        return ("float", "nan" if math.isnan(value) else struct.pack("<d", value))
    return ("str", value)


def add(store, ids, step):
    """Adds one step's node; inputs pick among the ids returned so far."""
    kind, name, params, picks, descriptor = step
    if not ids:
        kind = "source"
    inputs = [ids[p % len(ids)] for p in picks] if ids else []
    if kind == "source":
        return store.add_source(name, params), ("source", name, params, [])
    if kind == "op":
        return store.add_op(name, inputs, params), (kind, name, params, inputs)
    if kind == "reduction":
        return store.add_reduction(name, inputs, params), (kind, name, params, inputs)
    if kind == "exchange":
        return store.add_exchange(inputs, params), (kind, "", params, inputs)
    if kind == "join":
        return store.add_join(inputs, params), (kind, "", params, inputs)
    d = DESCRIPTORS[descriptor]
    return store.add_external(d, inputs, params), (kind, repr(sorted(d.items())), params, inputs)


def model_key(kind, name, params, inputs):
    return (kind, name, tuple(sorted((k, canonical_value(v)) for k, v in params.items())), tuple(inputs))


def build(program):
    store = GraphStore()
    ids, keys = [], []
    for step in program:
        node_id, key = add(store, ids, step)
        ids.append(node_id)
        keys.append(key)
    return store, ids, keys


@settings(max_examples=200, deadline=None)
@given(steps)
def test_ids_follow_the_first_occurrence_of_each_distinct_key(program):
    store, ids, keys = build(program)
    model = {}
    for node_id, key in zip(ids, keys):
        assert node_id == model.setdefault(model_key(*key), len(model))
    assert store.node_count() == len(model)
    assert store.outputs() == []


@settings(max_examples=100, deadline=None)
@given(steps, st.randoms(use_true_random=False))
def test_building_twice_gives_identical_ids_and_interning_is_idempotent(program, rng):
    store, ids, _ = build(program)
    assert build(program)[1] == ids
    count = store.node_count()
    order = list(range(len(program)))
    rng.shuffle(order)
    for i in order:
        assert add(store, ids[:i], program[i])[0] == ids[i]
    assert store.node_count() == count
