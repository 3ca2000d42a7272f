"""Marking outputs, pickling and copying, len() and repr() of GraphStore."""

import copy
import inspect
import pickle
import subprocess
import sys

import pytest

import quorvel_core
from quorvel_core import GraphStore, IncrementalReducer, PayloadDescriptor


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def chain(n):
    store = GraphStore()
    last = store.add_source("s", {"i": 0})
    for i in range(1, n):
        last = store.add_op("f", [last], {"i": i})
    return store


def sample():
    """A store with every kind of node, marks out of id order."""
    store = GraphStore()
    src = store.add_source("events", {"path": "p", "n": 3, "on": True, "x": 0.5})
    scaled = store.add_op("scale", [src], {"factor": 2.0})
    total = store.add_op("add", [scaled, src])
    keyed = store.add_exchange([total], {"scheme": "hash"})
    joined = store.add_join([keyed, src])
    model = PayloadDescriptor(kind="k", content_hash="h", framework="f", version="1", io_schema="s",
                              preprocessing_ref="r")
    ext = store.add_external(model, [joined])
    red = store.add_reduction("sum", [ext], {"axis": 0})
    store.mark_outputs([red, scaled])
    return store


# --- mark_output / mark_outputs -------------------------------------------------------


def test_marking_appends_in_order_and_keeps_first_position():
    store = chain(4)
    store.mark_output(2)
    store.mark_output(id=0)
    store.mark_output(Index(2))
    store.mark_outputs([3, 0, 3])
    store.mark_outputs(ids=(1,))
    store.mark_outputs([])
    assert store.outputs() == [2, 0, 3, 1]


@pytest.mark.parametrize("method, arg", [("mark_output", 4), ("mark_outputs", [4]), ("mark_output", 2**64 - 1),
                                         ("mark_outputs", [0, 1, 9, 5]), ("mark_outputs", (3, 0, 2**64 - 1))])
def test_bad_id_raises_and_leaves_marks_unchanged(method, arg, raises):
    store = chain(4)
    store.mark_output(1)
    bad = arg if isinstance(arg, int) else next(i for i in arg if i >= 4)
    with raises(ValueError, f"no node with id {bad}"):
        getattr(store, method)(arg)
    assert store.outputs() == [1]
    assert store.node_count() == 4


def test_mark_outputs_is_all_or_nothing_for_valid_ids_before_the_bad_one():
    store = chain(3)
    with pytest.raises(ValueError):
        store.mark_outputs([0, 1, 2, 3])
    assert store.outputs() == []
    assert GraphStore.deserialize(store.serialize()).outputs() == []


@pytest.mark.parametrize(
    "method, arg, exc_type, message, note",
    [
        ("mark_output", "0", TypeError, "'str' object cannot be interpreted as an integer", "while processing 'id'"),
        ("mark_output", None, TypeError, "'NoneType' object cannot be interpreted as an integer",
         "while processing 'id'"),
        ("mark_output", 1.0, TypeError, "'float' object cannot be interpreted as an integer", "while processing 'id'"),
        ("mark_output", -1, OverflowError, "can't convert negative int to unsigned", "while processing 'id'"),
        ("mark_output", 2**64, OverflowError, "int too big to convert", "while processing 'id'"),
        ("mark_outputs", "0", TypeError, "Can't extract `str` to `Vec`", "while processing 'ids'"),
        ("mark_outputs", 0, TypeError, "'int' object is not an instance of 'Sequence'", "while processing 'ids'"),
        ("mark_outputs", [0, -1], OverflowError, "can't convert negative int to unsigned", "while processing 'ids'"),
    ],
)
def test_conversion_errors_carry_a_note(method, arg, exc_type, message, note, raises):
    store = chain(2)
    with raises(exc_type, message, note):
        getattr(store, method)(arg)
    assert store.outputs() == []


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.mark_output(), "GraphStore.mark_output() missing 1 required positional argument: 'id'"),
        (lambda s: s.mark_output(0, 1), "GraphStore.mark_output() takes 1 positional arguments but 2 were given"),
        (lambda s: s.mark_outputs(idz=[0]), "GraphStore.mark_outputs() got an unexpected keyword argument 'idz'"),
        (lambda s: s.mark_outputs([0], ids=[0]), "GraphStore.mark_outputs() got multiple values for argument 'ids'"),
    ],
)
def test_argument_errors(call, message, raises):
    with raises(TypeError, message):
        call(chain(1))


def test_concurrent_marking_keeps_each_id_once():
    import threading

    store = chain(64)
    barrier = threading.Barrier(4)

    def mark(offset):
        barrier.wait()
        for start in range(0, 64, 8):
            store.mark_outputs([(start + offset + k) % 64 for k in range(8)])
            store.mark_output((start + offset) % 64)

    threads = [threading.Thread(target=mark, args=(offset,)) for offset in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    outputs = store.outputs()
    assert sorted(outputs) == list(range(64))


def test_text_signatures():
    assert str(inspect.signature(GraphStore.mark_output)) == "(self, /, id)"
    assert str(inspect.signature(GraphStore.mark_outputs)) == "(self, /, ids)"


def test_marks_drive_serialize_and_reduce():
    store = chain(4)
    store.mark_outputs([2])
    assert store.serialize() == store.serialize([2])
    reduced, report = store.reduce()
    assert (reduced.nodes(), report) == (store.reduce(outputs=[2])[0].nodes(), store.reduce(outputs=[2])[1])
    assert report["reachable_nodes"] == 3
    assert store.reduction_report() == report


# --- pickling and copying -----------------------------------------------------------------


def assert_same_store(a, b):
    assert a.nodes() == b.nodes()
    assert a.outputs() == b.outputs()
    assert a.serialize() == b.serialize()


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_keeps_nodes_ids_and_marks(protocol):
    store = sample()
    again = pickle.loads(pickle.dumps(store, protocol))
    assert type(again) is GraphStore and again is not store
    assert again.outputs() == [6, 1]
    assert_same_store(again, store)


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy, lambda s: pickle.loads(pickle.dumps(s))])
def test_copies_are_independent(duplicate):
    store = sample()
    twin = duplicate(store)
    assert_same_store(twin, store)
    twin.add_source("only in the copy")
    twin.mark_output(0)
    store.add_source("only in the original")
    assert store.outputs() == [6, 1] and twin.outputs() == [6, 1, 0]
    assert store.nodes()[-1]["name"] == "only in the original"
    assert twin.nodes()[-1]["name"] == "only in the copy"


def test_containers_of_stores_deepcopy():
    store = sample()
    box = {"a": store, "b": [store]}
    copied = copy.deepcopy(box)
    assert copied["a"] is copied["b"][0] and copied["a"] is not store
    assert_same_store(copied["a"], store)


def fan_out():
    """x, a on x, b and c on a, d on b and c: fusion differs between the two rules."""
    store = GraphStore()
    x = store.add_source("x")
    a = store.add_op("a", [x])
    b, c = store.add_op("b", [a]), store.add_op("c", [a])
    d = store.add_op("d", [b, c])
    store.add_op("unused", [x])
    return store, d


def finalized():
    store, d = fan_out()
    reducer = IncrementalReducer()
    reducer.step(store)
    return reducer.finalize(store, outputs=[d, d])[0]


# Stores with a node map, and what it must hold: stage members, dropped
# nodes, an all-dropped map and an empty one.
DERIVED = {
    "reduce": lambda: fan_out()[0].reduce(outputs=[fan_out()[1]])[0],
    "reduce_maximal": lambda: fan_out()[0].reduce(outputs=[fan_out()[1]], maximal_fusion=True)[0],
    "reduce_marks": lambda: sample().reduce()[0],
    "cone": lambda: sample().cone(outputs=[3, 1]),
    "cone_of_nothing": lambda: sample().cone(outputs=[]),
    "finalize": finalized,
    "reduce_of_empty": lambda: GraphStore().reduce(outputs=[])[0],
}

DUPLICATES = {
    **{f"pickle_{p}": (lambda p: lambda s: pickle.loads(pickle.dumps(s, p)))(p)
       for p in range(pickle.HIGHEST_PROTOCOL + 1)},
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


@pytest.mark.parametrize("duplicate", DUPLICATES.values(), ids=DUPLICATES.keys())
@pytest.mark.parametrize("derive", DERIVED.values(), ids=DERIVED.keys())
def test_derived_stores_travel_with_their_node_map(derive, duplicate):
    derived = derive()
    again = duplicate(derived)
    assert_same_store(again, derived)
    assert again.node_map() == derived.node_map()


def test_the_maps_that_travel_hold_members_drops_and_nothing():
    assert any(e is not None and e[1] == 2 for e in DERIVED["reduce_maximal"]().node_map())
    assert None in DERIVED["reduce"]().node_map()
    assert DERIVED["cone_of_nothing"]().node_map() == [None] * 7
    assert DERIVED["reduce_of_empty"]().node_map() == []
    assert DERIVED["finalize"]().node_map() == DERIVED["reduce"]().node_map()


def test_a_reduced_store_pickles_its_blob_and_its_map_record():
    reduced = DERIVED["reduce"]()
    restorer, args = reduced.__reduce__()
    assert restorer is quorvel_core._restore_graph_store
    blob, record = args
    assert blob == reduced.serialize()
    # "QNM1", the entry count, two u32 fields per entry.
    assert record[:4] == b"QNM1" and int.from_bytes(record[4:8], "little") == 6 and len(record) == 8 + 6 * 8
    assert restorer(*args).node_map() == reduced.node_map()


class EarlierPickle:
    """Pickles as earlier versions pickled every store: the blob alone."""

    def __init__(self, store):
        self.blob = store.serialize()

    def __reduce__(self):
        return quorvel_core._restore_graph_store, (self.blob,)


def test_pickles_of_earlier_versions_still_load():
    reduced = DERIVED["reduce"]()
    again = pickle.loads(pickle.dumps(EarlierPickle(reduced)))
    assert type(again) is GraphStore
    assert_same_store(again, reduced)
    assert again.node_map() == []


def test_a_store_without_node_map_pickles_as_before():
    store = sample()
    assert pickle.dumps(store) == pickle.dumps(EarlierPickle(store))
    assert quorvel_core._restore_graph_store(store.serialize(), None).node_map() == []


def record_of(entries):
    out = b"QNM1" + len(entries).to_bytes(4, "little")
    for node, member in entries:
        out += node.to_bytes(4, "little") + member.to_bytes(4, "little")
    return out


@pytest.mark.parametrize(
    "record, message",
    [
        (b"", "invalid node map: not a quorvel node map record"),
        (b"QIR1\0\0\0\0", "invalid node map: not a quorvel node map record"),
        (record_of([(1, 0)])[:-1], "invalid node map: its length does not match its 1 entries"),
        (record_of([(1, 0), (9, 0)]), "invalid node map: entry 1 names no node 8"),
        # Node 0 of the reduced store is the source, node 1 the stage [a].
        (record_of([(1, 1)]), "invalid node map: entry 0 names member 0 of node 0, which is not a stage"),
        (record_of([(2, 2)]), "invalid node map: entry 0 names member 1 of node 1, a stage of 1 members"),
        (record_of([(0, 1)]), "invalid node map: entry 0 is dropped but names member 0"),
    ],
)
def test_a_damaged_map_record_is_refused(record, message, raises):
    blob = DERIVED["reduce"]().serialize()
    with raises(ValueError, message):
        quorvel_core._restore_graph_store(blob, record)


def test_the_restorer_checks_its_argument_types(raises):
    blob = sample().serialize()
    with raises(TypeError, "'bytearray' object is not an instance of 'bytes'", "while processing 'node_map'"):
        quorvel_core._restore_graph_store(blob, bytearray(record_of([])))
    with raises(TypeError, "'str' object is not an instance of 'bytes'", "while processing 'data'"):
        quorvel_core._restore_graph_store("QIR1", record_of([]))
    with raises(ValueError, "truncated quorvel IR blob"):
        quorvel_core._restore_graph_store(b"", record_of([]))


def test_empty_store_pickles():
    again = pickle.loads(pickle.dumps(GraphStore()))
    assert (again.node_count(), again.outputs()) == (0, [])


@pytest.mark.parametrize("make", [sample, DERIVED["reduce"]], ids=["built", "reduced"])
def test_pickled_store_loads_in_a_fresh_interpreter(make):
    store = make()
    code = (
        "import pickle, sys\n"
        "store = pickle.loads(sys.stdin.buffer.read())\n"
        "print(type(store).__name__, store.outputs(), store.node_count(), store.node_map())\n"
        "sys.stdout.flush()\n"
        "sys.stdout.buffer.write(store.serialize())\n"
    )
    result = subprocess.run([sys.executable, "-c", code], input=pickle.dumps(store), capture_output=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr.decode()
    head, _, blob = result.stdout.partition(b"\n")
    assert head.decode() == f"GraphStore {store.outputs()} {store.node_count()} {store.node_map()}"
    assert blob == store.serialize()


def test_reduce_names_a_module_function():
    restorer, args = sample().__reduce__()
    assert restorer is quorvel_core._restore_graph_store
    assert restorer.__module__ == "quorvel_core"
    assert args == (sample().serialize(),)
    assert "_restore_graph_store" not in quorvel_core.__all__


# --- len and repr ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "nodes, marks, text",
    [
        (0, [], "<GraphStore: 0 nodes, 0 outputs>"),
        (1, [], "<GraphStore: 1 node, 0 outputs>"),
        (1, [0], "<GraphStore: 1 node, 1 output>"),
        (9, [8], "<GraphStore: 9 nodes, 1 output>"),
        (3, [2, 0], "<GraphStore: 3 nodes, 2 outputs>"),
    ],
)
def test_len_and_repr(nodes, marks, text):
    store = chain(nodes) if nodes else GraphStore()
    store.mark_outputs(marks)
    assert len(store) == store.node_count() == nodes
    assert bool(store) is (nodes > 0)
    assert repr(store) == str(store) == text


def test_subclass_repr_names_the_subclass_and_copies_are_plain_stores():
    class Pipeline(GraphStore):
        pass

    store = Pipeline()
    store.add_source("s")
    assert repr(store) == "<Pipeline: 1 node, 0 outputs>"
    assert type(copy.copy(store)) is GraphStore


def test_len_follows_growth():
    store = GraphStore()
    for n in range(1, 4):
        store.add_source(f"s{n}")
        assert len(store) == n


# --- what is deliberately absent ---------------------------------------------------------------


@pytest.mark.parametrize("cls", [GraphStore, PayloadDescriptor, IncrementalReducer])
def test_no_comparison_or_hashing(cls):
    for name in ("__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__", "__hash__"):
        assert getattr(cls, name) is getattr(object, name), name


def test_equal_stores_are_distinct_objects():
    a, b = chain(2), chain(2)
    assert a != b and a == a
    assert len({a, b}) == 2


def test_payload_descriptor_has_no_repr_of_its_own():
    assert PayloadDescriptor.__repr__ is object.__repr__
    assert IncrementalReducer.__repr__ is object.__repr__
