import gc

import pytest

from quorvel_core import GraphStore, PayloadDescriptor

FIELDS = ("kind", "content_hash", "framework", "version", "io_schema")
BASE = {"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"}
NOT_A_DESCRIPTOR = "descriptor must be a PayloadDescriptor or dict"


class MyStr(str):
    pass


class LookupDict(dict):
    """A dict subclass whose own lookups must not be consulted."""

    def __missing__(self, key):
        return "from-missing"

    def __getitem__(self, key):
        return "from-getitem"


def seeded_store():
    store = GraphStore()
    assert store.add_source("base") == 0
    return store


def test_fields_and_defaults():
    d = PayloadDescriptor(**BASE)
    assert [getattr(d, f) for f in FIELDS] == ["k", "h", "f", "1", "s"]
    assert d.preprocessing_ref is None
    assert PayloadDescriptor(**BASE, preprocessing_ref=None).preprocessing_ref is None
    assert PayloadDescriptor(**BASE, preprocessing_ref="").preprocessing_ref == ""
    empty = PayloadDescriptor(**{f: "" for f in FIELDS})
    assert [getattr(empty, f) for f in FIELDS] == [""] * 5
    sub = PayloadDescriptor(**{**BASE, "io_schema": MyStr("é|;=%\x00")}, preprocessing_ref=MyStr("p"))
    assert type(sub.io_schema) is str and sub.io_schema == "é|;=%\x00"
    assert type(sub.preprocessing_ref) is str and sub.preprocessing_ref == "p"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: PayloadDescriptor("k"), "takes 0 positional arguments but 1 was given"),
        (
            lambda: PayloadDescriptor(),
            "missing 5 required keyword arguments: 'kind', 'content_hash', 'framework', 'version', and 'io_schema'",
        ),
        (
            lambda: PayloadDescriptor(kind="k", framework="f", version="1"),
            "missing 2 required keyword arguments: 'content_hash' and 'io_schema'",
        ),
        (
            lambda: PayloadDescriptor(**{k: v for k, v in BASE.items() if k != "version"}),
            "missing 1 required keyword argument: 'version'",
        ),
        (lambda: PayloadDescriptor(bogus=1), "got an unexpected keyword argument 'bogus'"),
    ],
)
def test_constructor_argument_errors(raises, call, message):
    with raises(TypeError, "PayloadDescriptor.__new__() " + message):
        call()


@pytest.mark.parametrize(
    "overrides, message, field",
    [
        ({"kind": 1, "content_hash": 2}, "'int' object is not an instance of 'str'", "kind"),
        ({"content_hash": b"h", "io_schema": None}, "'bytes' object is not an instance of 'str'", "content_hash"),
        ({"io_schema": None}, "'None' is not an instance of 'str'", "io_schema"),
        ({"preprocessing_ref": 5}, "'int' object is not an instance of 'str'", "preprocessing_ref"),
        ({"framework": [], "preprocessing_ref": 5}, "'list' object is not an instance of 'str'", "framework"),
    ],
)
def test_constructor_conversion_errors_name_the_first_bad_field(raises, overrides, message, field):
    with raises(TypeError, message, f"while processing '{field}'"):
        PayloadDescriptor(**{**BASE, **overrides})


def test_object_and_dict_forms_give_the_same_node():
    store = seeded_store()
    by_object = store.add_external(PayloadDescriptor(**BASE), [0])
    for same in (
        dict(BASE),
        {**BASE, "preprocessing_ref": None},
        {**BASE, "unrelated": 42},
        LookupDict(BASE),
        type("Sub", (PayloadDescriptor,), {})(**BASE),
        PayloadDescriptor(**BASE, preprocessing_ref=None),
    ):
        assert store.add_external(same, [0]) == by_object
    with_ref = store.add_external({**BASE, "preprocessing_ref": "p"}, [0])
    assert with_ref != by_object
    assert store.node_count() == 3
    # The store keeps its own copy of the record.
    d = PayloadDescriptor(**BASE, preprocessing_ref="p")
    first = store.add_external(d, [0], {"a": 1})
    del d
    gc.collect()
    assert store.add_external({**BASE, "preprocessing_ref": "p"}, [0], {"a": 1}) == first


@pytest.mark.parametrize(
    "changed",
    [{f: "other"} for f in FIELDS] + [{"preprocessing_ref": ""}, {"preprocessing_ref": "p"}, {"io_schema": "s "}],
    ids=repr,
)
def test_every_descriptor_field_distinguishes_nodes(changed):
    store = seeded_store()
    base = store.add_external(BASE, [0])
    other = store.add_external({**BASE, **changed}, [0])
    assert base != other
    assert store.add_external(PayloadDescriptor(**{**BASE, **changed}), [0]) == other


def without(*keys):
    return {k: v for k, v in BASE.items() if k not in keys}


@pytest.mark.parametrize(
    "descriptor, exc_type, message",
    [
        (without("kind", "io_schema"), ValueError, "descriptor missing required field 'kind'"),
        (without("content_hash"), ValueError, "descriptor missing required field 'content_hash'"),
        (without("version", "io_schema"), ValueError, "descriptor missing required field 'version'"),
        (without("io_schema"), ValueError, "descriptor missing required field 'io_schema'"),
        (LookupDict(), ValueError, "descriptor missing required field 'kind'"),
        # The optional field is read before the required ones.
        ({"preprocessing_ref": 5}, TypeError, "'int' object is not an instance of 'str'"),
        ({**BASE, "kind": None}, TypeError, "'None' is not an instance of 'str'"),
        ({**BASE, "preprocessing_ref": b"p"}, TypeError, "'bytes' object is not an instance of 'str'"),
        ([("kind", "k")], TypeError, NOT_A_DESCRIPTOR),
        (None, TypeError, NOT_A_DESCRIPTOR),
        (type("Attrs", (), dict(BASE))(), TypeError, NOT_A_DESCRIPTOR),
    ],
)
def test_bad_descriptors_carry_no_note_and_add_nothing(raises, descriptor, exc_type, message):
    store = seeded_store()
    with raises(exc_type, message):
        store.add_external(descriptor, [0])
    assert store.node_count() == 1


@pytest.mark.parametrize(
    "call, exc_type, message, note",
    [
        # inputs is converted before the descriptor is looked at,
        (lambda s: s.add_external([("kind", "k")], "x"), TypeError, "Can't extract `str` to `Vec`",
         "while processing 'inputs'"),
        (lambda s: s.add_external({}, [-1]), OverflowError, None, "while processing 'inputs'"),
        # the descriptor before params, params before the store's id check.
        (lambda s: s.add_external({}, [0], []), ValueError, "descriptor missing required field 'kind'", None),
        (lambda s: s.add_external(BASE, [9], []), TypeError, "params must be a dict or None", None),
        (lambda s: s.add_external(BASE, [0, 9]), ValueError, "no node with id 9", None),
    ],
)
def test_add_external_checks_in_order(call, exc_type, message, note):
    store = seeded_store()
    with pytest.raises(exc_type) as info:
        call(store)
    assert type(info.value) is exc_type
    assert message is None or str(info.value) == message
    assert getattr(info.value, "__notes__", []) == ([] if note is None else [note])
    assert store.node_count() == 1
