import collections.abc
import enum
import struct

import pytest

from quorvel_core import GraphStore

PARAM_ERROR = "param values must be int, float, bool, or str"
DESCRIPTOR = {"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"}


class Index:
    """An integer known only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatLike:
    def __float__(self):
        return 2.5


class Color(enum.IntEnum):
    RED = 3


class MyStr(str):
    pass


class MyFloat(float):
    pass


class IdSequence(collections.abc.Sequence):
    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return len(self.items)


class BrokenSequence(IdSequence):
    def __getitem__(self, i):
        raise RuntimeError("cannot read item")


# Each adds one node with the given params to a store whose node 0 is a source.
BUILDERS = {
    "source": lambda s, p: s.add_source("x", p),
    "op": lambda s, p: s.add_op("x", [0], p),
    "reduction": lambda s, p: s.add_reduction("x", [0], p),
    "exchange": lambda s, p: s.add_exchange([0], p),
    "join": lambda s, p: s.add_join([0], p),
    "external": lambda s, p: s.add_external(DESCRIPTOR, [0], p),
}


def seeded_store(*names):
    store = GraphStore()
    for i, name in enumerate(("base",) + names):
        assert store.add_source(name) == i
    return store


def test_ids_are_dense_in_first_interning_order(store):
    ids = [
        store.add_source("a"),
        store.add_source("b", {"k": 1}),
        store.add_op("f", [0, 1]),
        store.add_reduction("f", [0, 1]),
        store.add_exchange([2]),
        store.add_join([2, 3]),
        store.add_external(DESCRIPTOR, [4]),
        store.add_op("f", []),
    ]
    assert ids == list(range(8))
    assert all(type(i) is int for i in ids)
    assert store.add_join([2, 3]) == 5
    assert store.add_source("b", {"k": 1}) == 1
    assert store.add_op(inputs=(0, 1), name=MyStr("f"), params=None) == 2
    assert store.node_count() == 8
    assert store.outputs() == []


@pytest.mark.parametrize(
    "make_pair",
    [
        lambda s: (s.add_op("f", [0, 1]), s.add_reduction("f", [0, 1])),
        lambda s: (s.add_exchange([0, 1]), s.add_join([0, 1])),
        lambda s: (s.add_op("f", [0]), s.add_op("f", [0, 0])),
        lambda s: (s.add_join([0, 1]), s.add_join([1, 0])),
        lambda s: (s.add_source("f"), s.add_op("f", [])),
    ],
    ids=["op-vs-reduction", "exchange-vs-join", "repeated-input", "join-order", "kind"],
)
def test_structurally_different_nodes_get_different_ids(make_pair):
    store = seeded_store("other")
    first, second = make_pair(store)
    assert first != second
    assert store.node_count() == 4


SAME_PARAMS = {
    "none-vs-empty": (None, {}),
    "key-order": ({"b": 1, "a": 2}, {"a": 2, "b": 1}),
    "2**63-is-float": ({"v": 2**63}, {"v": 9.223372036854776e18}),
    "2**64+1-nearest-float": ({"v": 2**64 + 1}, {"v": float(2**64)}),
    "below-int64-is-float": ({"v": -(2**63) - 1}, {"v": float(-(2**63))}),
    "nan-payloads": ({"v": float("nan")}, {"v": struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000001))[0]}),
    "index-object": ({"v": Index(5)}, {"v": 5}),
    "huge-index-object": ({"v": Index(2**70)}, {"v": float(2**70)}),
    "int-enum": ({"v": Color.RED}, {"v": 3}),
    "float-via-dunder": ({"v": FloatLike()}, {"v": 2.5}),
    "float-subclass": ({"v": MyFloat(1.0)}, {"v": 1.0}),
    "str-subclass": ({"v": MyStr("x")}, {"v": "x"}),
    "dict-subclass": (type("D", (dict,), {})(v=1), {"v": 1}),
    # Dicts of plain exact values take a shortcut; the others must agree.
    "mixed-plain-and-general": ({"a": 1, "b": Index(2), "c": "x"}, {"c": "x", "a": 1, "b": 2}),
    "one-digit-int-via-index": ({"v": 2**30 - 1}, {"v": Index(2**30 - 1)}),
    "non-ascii-text": ({"k": "\u00e9t\u00e9", "a": True}, {"a": True, "k": MyStr("\u00e9t\u00e9")}),
    "many-entries": ({f"k{i}": i for i in range(12)}, {f"k{i}": i for i in reversed(range(12))}),
}

DIFFERENT_PARAMS = {
    "int-vs-bool": ({"a": 1}, {"a": True}),
    "zero-vs-false": ({"a": 0}, {"a": False}),
    "int-vs-float": ({"a": 1}, {"a": 1.0}),
    "signed-zeros": ({"a": 0.0}, {"a": -0.0}),
    "int64-min-stays-int": ({"v": -(2**63)}, {"v": float(-(2**63))}),
    "int64-max-stays-int": ({"v": 2**63 - 1}, {"v": float(2**63 - 1)}),
    "str-vs-int": ({"a": "1"}, {"a": 1}),
    "name": ({"a": 1}, {"b": 1}),
    "empty-vs-one": ({}, {"a": 1}),
    "inf-vs-nan": ({"a": float("inf")}, {"a": float("nan")}),
}


# Ints on both sides of the one-digit boundary of the interpreter's int
# layout (30-bit digits), which small ints are read through without a call.
DIGIT_EDGE_INTS = [0, 1, -1, 2**30 - 1, 2**30, -(2**30) + 1, -(2**30), 2**31, -(2**31), 2**62, -(2**62)]


@pytest.mark.parametrize("value", DIGIT_EDGE_INTS)
def test_int_params_keep_their_exact_value(value):
    store = GraphStore()
    node = store.add_source("s", {"v": value})
    assert f'label="Source s {{v={value}}}"' in store.to_dot()
    assert store.add_source("s", {"v": value}) == node
    assert store.add_source("s", {"v": value + 1}) != node


@pytest.mark.parametrize("builder", sorted(BUILDERS))
@pytest.mark.parametrize("case", sorted(SAME_PARAMS) + sorted(DIFFERENT_PARAMS))
def test_param_identity(builder, case):
    store = seeded_store()
    first, second = SAME_PARAMS.get(case) or DIFFERENT_PARAMS[case]
    a = BUILDERS[builder](store, first)
    b = BUILDERS[builder](store, second)
    assert (a == b) == (case in SAME_PARAMS)
    assert store.node_count() == max(a, b) + 1


@pytest.mark.parametrize(
    "inputs",
    [(0, 1, 1), IdSequence([0, 1, 1]), [Index(0), Index(1), 1], [False, True, True], bytes([0, 1, 1])],
    ids=["tuple", "sequence-subclass", "index-objects", "bools", "bytes"],
)
def test_inputs_from_any_sequence_of_ids(inputs):
    store = seeded_store("other")
    assert store.add_op("f", inputs) == store.add_op("f", [0, 1, 1])
    assert store.add_join(inputs) == store.add_join([0, 1, 1])
    assert store.add_exchange(range(2)) == store.add_exchange([0, 1])
    assert store.node_count() == 5


@pytest.mark.parametrize("claimed", [2**50, 2**62])
def test_sequence_length_is_only_a_size_hint(claimed):
    class Overstated(IdSequence):
        def __len__(self):
            return claimed

    store = seeded_store()
    assert store.add_op("f", Overstated([0, 0])) == store.add_op("f", [0, 0])


def test_inputs_list_changed_while_it_is_read():
    store = seeded_store()
    shrinking, growing = [], [0]
    shrinking += [type("Shrink", (), {"__index__": lambda self: shrinking.clear() or 0})(), 0, 0]
    assert store.add_op("f", shrinking) == store.add_op("f", [0])
    growing.append(type("Grow", (), {"__index__": lambda self: growing.append(0) or 0})())
    assert store.add_op("g", growing) == store.add_op("g", [0, 0, 0])


@pytest.mark.parametrize(
    "inputs, exc_type, message",
    [
        ("ab", TypeError, "Can't extract `str` to `Vec`"),
        (MyStr("0"), TypeError, "Can't extract `str` to `Vec`"),
        (5, TypeError, "'int' object is not an instance of 'Sequence'"),
        ({0}, TypeError, "'set' object is not an instance of 'Sequence'"),
        ({0: 0}, TypeError, "'dict' object is not an instance of 'Sequence'"),
        (iter([0]), TypeError, "'list_iterator' object is not an instance of 'Sequence'"),
        (BrokenSequence([0]), RuntimeError, "cannot read item"),
        # Items: the interpreter's own conversion errors.
        ([0, -1], OverflowError, None),
        ([-(2**30)], OverflowError, None),
        ([-(2**31)], OverflowError, None),
        ([Index(-1)], OverflowError, None),
        ([1.0], TypeError, None),
        ([None], TypeError, None),
    ],
)
def test_bad_inputs_get_the_inputs_note(raises, inputs, exc_type, message):
    store = seeded_store()
    for add in (lambda: store.add_op("f", inputs), lambda: store.add_exchange(inputs)):
        with pytest.raises(exc_type) as info:
            add()
        assert type(info.value) is exc_type
        assert message is None or str(info.value) == message
        assert info.value.__notes__ == ["while processing 'inputs'"]
    assert store.node_count() == 1


@pytest.mark.parametrize(
    "inputs, missing",
    [([5], 5), ([0, 9, 7], 9), ([0, 1, 2, 3], 3), ([2**30 - 1], 2**30 - 1), ([0, 2**30], 2**30), ([2**64 - 1], 2**64 - 1)],
)
@pytest.mark.parametrize("builder", ["op", "reduction", "exchange", "join", "external"])
def test_bad_ids_raise_and_add_nothing(raises, builder, inputs, missing):
    store = seeded_store("b", "c")
    add = {
        "op": lambda: store.add_op("f", inputs),
        "reduction": lambda: store.add_reduction("f", inputs),
        "exchange": lambda: store.add_exchange(inputs),
        "join": lambda: store.add_join(inputs),
        "external": lambda: store.add_external(DESCRIPTOR, inputs),
    }[builder]
    with raises(ValueError, f"no node with id {missing}"):
        add()
    assert store.node_count() == 3
    if missing == 3:  # the same key interns once the id exists
        store.add_source("d")
        assert add() == 4


@pytest.mark.parametrize(
    "name, exc_type, message",
    [
        (1, TypeError, "'int' object is not an instance of 'str'"),
        (None, TypeError, "'None' is not an instance of 'str'"),
        (b"x", TypeError, "'bytes' object is not an instance of 'str'"),
        ("\ud800", UnicodeEncodeError, None),
    ],
)
def test_bad_names_get_the_name_note(name, exc_type, message):
    store = GraphStore()
    for add in (lambda: store.add_source(name), lambda: store.add_op(name, []), lambda: store.add_reduction(name, [])):
        with pytest.raises(exc_type) as info:
            add()
        assert message is None or str(info.value) == message
        assert info.value.__notes__ == ["while processing 'name'"]
    assert store.node_count() == 0


BAD_PARAMS = {
    "list": ([], "params must be a dict or None"),
    "pairs": ((("a", 1),), "params must be a dict or None"),
    "none-value": ({"x": None}, PARAM_ERROR),
    "too-large": ({"x": 10**400}, PARAM_ERROR),
    "bytes": ({"x": b"1"}, PARAM_ERROR),
    "int-key": ({1: 2}, "'int' object is not an instance of 'str'"),
    "key-before-value": ({1: None}, "'int' object is not an instance of 'str'"),
    "none-key": ({None: 1}, "'None' is not an instance of 'str'"),
    "second-pair-bad": ({"a": 1, "b": object()}, PARAM_ERROR),
}


@pytest.mark.parametrize("builder", sorted(BUILDERS))
@pytest.mark.parametrize("case", sorted(BAD_PARAMS))
def test_bad_params_carry_no_note_and_add_nothing(raises, builder, case):
    params, message = BAD_PARAMS[case]
    store = seeded_store()
    with raises(TypeError, message):
        BUILDERS[builder](store, params)
    assert store.node_count() == 1


@pytest.mark.parametrize(
    "call, exc_type, message, note",
    [
        # name, then inputs, then params, then the ids against the store.
        (lambda s: s.add_op(1, "ab", []), TypeError, "'int' object is not an instance of 'str'", "while processing 'name'"),
        (lambda s: s.add_op("f", "ab", []), TypeError, "Can't extract `str` to `Vec`", "while processing 'inputs'"),
        (lambda s: s.add_op("f", [99], []), TypeError, "params must be a dict or None", None),
        (lambda s: s.add_join([99], {"x": None}), TypeError, PARAM_ERROR, None),
        (lambda s: s.add_op("f", [99], {"x": 1}), ValueError, "no node with id 99", None),
    ],
)
def test_arguments_are_converted_in_signature_order(raises, call, exc_type, message, note):
    with raises(exc_type, message, note):
        call(seeded_store())


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.add_op(), "add_op() missing 2 required positional arguments: 'name' and 'inputs'"),
        (lambda s: s.add_op("f"), "add_op() missing 1 required positional argument: 'inputs'"),
        (lambda s: s.add_reduction(inputs=[0]), "add_reduction() missing 1 required positional argument: 'name'"),
        (lambda s: s.add_join(params={}), "add_join() missing 1 required positional argument: 'inputs'"),
        (lambda s: s.add_external(), "add_external() missing 2 required positional arguments: 'descriptor' and 'inputs'"),
        (lambda s: s.add_op("f", [0], None, 1), "add_op() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda s: s.add_source("a", None, 1), "add_source() takes from 1 to 2 positional arguments but 3 were given"),
        # Too many positional arguments is checked before any keyword.
        (lambda s: s.add_exchange(1, 2, 3, x=1), "add_exchange() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda s: s.add_op("f", name="g"), "add_op() got multiple values for argument 'name'"),
        # Keywords are checked in the order given, before missing arguments
        # and before any conversion.
        (lambda s: s.add_op(bogus=1, name="g"), "add_op() got an unexpected keyword argument 'bogus'"),
        (lambda s: s.add_op("f", name="g", bogus=1), "add_op() got multiple values for argument 'name'"),
        (lambda s: s.add_op(1, bogus=1, name="g"), "add_op() got an unexpected keyword argument 'bogus'"),
        (lambda s: s.add_exchange([0], name="x"), "add_exchange() got an unexpected keyword argument 'name'"),
    ],
)
def test_argument_count_and_keyword_errors(raises, call, message):
    store = seeded_store()
    with raises(TypeError, "GraphStore." + message):
        call(store)
    assert store.node_count() == 1


def test_inputs_whose_index_builds_nodes_reentrantly():
    # Converting one input list may run Python code that converts another.
    store = GraphStore()
    store.add_source("x")

    class Reentrant:
        def __index__(self):
            store.add_op("inner", [0, 0, 0])
            return 0

    outer = store.add_op("outer", [0, Reentrant(), 0, 0])
    assert store.node_count() == 3
    assert store.add_op("outer", [0, 0, 0, 0]) == outer
    assert store.add_op("inner", [0, 0, 0]) == 1
