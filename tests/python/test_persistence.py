"""The IR blob from Python: exact bytes, round trips, argument rules, and
hostile input that must be rejected with one of the reader's errors."""

import math
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorvel_core as qc
from blob_bytes import text, u32, u64

BLOB_ERRORS = (
    "not a quorvel IR blob (bad magic/version)",
    "truncated quorvel IR blob",
    "invalid utf-8 in quorvel IR blob",
)


def full_store():
    """Every node kind, every value kind, a stage from a hand-made blob."""
    s = qc.GraphStore()
    a = s.add_source("a", {"i": -5, "f": 0.5, "b": True, "s": "x|y%"})
    b = s.add_source("b")
    op = s.add_op("add", [a, b], {"scalar": 0.0, "side": "r"})
    s.add_reduction("sum", [op, op], {"axis": 0})
    s.add_exchange([op], {"scheme": "hash"})
    s.add_join([a, b])
    desc = qc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="1", io_schema="s",
                                preprocessing_ref="p")
    s.add_external(desc, [op])
    s.add_external({"kind": "k", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"}, [op])
    return s


def test_worked_layouts():
    assert qc.GraphStore().serialize() == b"QIR1" + u32(0) + u32(0)
    s = qc.GraphStore()
    s.add_source("a")
    assert s.serialize([0]) == b"QIR1" + u32(1) + b"\x00" + text("a") + u32(0) + u32(1) + u64(0)
    s.add_op("f", [0], {"k": 2})
    record = b"\x01" + text("f") + u32(1) + text("k") + b"\x00" + struct.pack("<q", 2) + u32(1) + u64(0)
    assert s.serialize([]).endswith(record + u32(0))


def test_stage_blob_round_trips_and_is_inspectable_through_bytes():
    # A stage cannot be built from Python; a blob can carry one.
    blob = (b"QIR1" + u32(3) + b"\x00" + text("x") + u32(0) + b"\x00" + text("y") + u32(0)
            + b"\x04" + u32(2) + u64(0) + u64(1) + u32(2)
            + text("op|f") + u32(1) + b"\x00" + u32(0)
            + text("op|g") + u32(2) + b"\x01" + u32(0) + b"\x00" + u32(1)
            + u32(1) + u64(2))
    s = qc.GraphStore.deserialize(blob)
    assert s.node_count() == 3 and s.outputs() == [2]
    assert s.serialize() == blob
    assert "Stage[2 members]" in s.to_dot()


def test_round_trip_keeps_ids_bytes_and_marks():
    s = full_store()
    blob = s.serialize([6, 2, 6, 0])
    r = qc.GraphStore.deserialize(blob)
    assert r.node_count() == s.node_count()
    assert r.outputs() == [6, 2, 0]  # later repeats are marked once
    assert r.serialize([6, 2, 6, 0]) == blob
    assert qc.GraphStore.deserialize(r.serialize()).serialize() == r.serialize()
    # Interning the same keys again finds the rebuilt nodes under the same ids.
    assert r.add_op("add", [0, 1], {"scalar": 0.0, "side": "r"}) == 2
    # Same labels and edges; only the output markers differ.
    assert r.to_dot().replace(", shape=doublecircle", "") == full_store().to_dot()


def test_serialize_does_not_change_the_store():
    s = full_store()
    before = (s.node_count(), s.outputs(), s.to_dot())
    s.serialize([1, 0])
    s.serialize()
    assert (s.node_count(), s.outputs(), s.to_dot()) == before


@pytest.mark.parametrize("bits", [0x7FF8000000000000, 0x7FF0000000000001, 0xFFF8000000000001, 0x8000000000000000])
def test_float_bit_patterns_survive(bits):
    value = struct.unpack("<d", u64(bits))[0]
    s = qc.GraphStore()
    s.add_source("x", {"v": value})
    blob = s.serialize()
    assert struct.pack("<d", value) in blob
    assert qc.GraphStore.deserialize(blob).serialize() == blob


def test_nan_payloads_are_one_node_but_keep_the_first_pattern():
    s = qc.GraphStore()
    first = struct.unpack("<d", u64(0x7FF0000000000001))[0]
    second = struct.unpack("<d", u64(0x7FF8000000000000))[0]
    assert math.isnan(first) and math.isnan(second)
    assert s.add_source("x", {"v": first}) == s.add_source("x", {"v": second})
    assert u64(0x7FF0000000000001) in s.serialize()


def test_trailing_bytes_are_ignored():
    s = full_store()
    blob = s.serialize([1])
    assert qc.GraphStore.deserialize(blob + b"garbage\x00\xff").serialize() == blob


@pytest.mark.parametrize(
    "call, exc, message, note",
    [
        (lambda s: s.serialize([99]), ValueError, "no node with id 99", None),
        (lambda s: s.serialize("0"), TypeError, "Can't extract `str` to `Vec`", "while processing 'outputs'"),
        (lambda s: s.serialize([-1]), OverflowError, "can't convert negative int to unsigned", "while processing 'outputs'"),
        (lambda s: s.serialize([0], outputs=[0]), TypeError, "GraphStore.serialize() got multiple values for argument 'outputs'", None),
        (lambda s: qc.GraphStore.deserialize(bytearray(b"QIR1")), TypeError,
         "'bytearray' object is not an instance of 'bytes'", "while processing 'data'"),
        (lambda s: qc.GraphStore.deserialize(memoryview(b"QIR1")), TypeError,
         "'memoryview' object is not an instance of 'bytes'", "while processing 'data'"),
        (lambda s: qc.GraphStore.deserialize(None), TypeError, "'None' is not an instance of 'bytes'", "while processing 'data'"),
        (lambda s: qc.GraphStore.deserialize(), TypeError, "GraphStore.deserialize() missing 1 required positional argument: 'data'", None),
    ],
)
def test_argument_errors(store, raises, call, exc, message, note):
    store.add_source("a")
    with raises(exc, message, note):
        call(store)
    assert store.node_count() == 1


def test_serialize_flags_exactly_the_given_outputs():
    s = qc.GraphStore.deserialize(full_store().serialize([3]))
    assert s.outputs() == [3]
    for blob in (s.serialize([0]), s.serialize(outputs=[0])):
        assert blob.endswith(u32(1) + u64(0))
    assert s.serialize([1, 1, 0]).endswith(u32(3) + u64(1) + u64(1) + u64(0))
    assert s.serialize(None) == s.serialize()


def test_deserialize_is_static_and_accepts_bytes_subclasses():
    class Blob(bytes):
        pass

    blob = full_store().serialize([0])
    assert qc.GraphStore().deserialize(Blob(blob)).serialize() == blob
    assert qc.GraphStore.deserialize(data=blob).outputs() == [0]


@pytest.mark.parametrize(
    "blob, message",
    [
        (b"", "truncated quorvel IR blob"),
        (b"QIR", "truncated quorvel IR blob"),
        (b"QIR1\x00\x00\x00", "truncated quorvel IR blob"),
        (b"QIR2" + u32(0) + u32(0), "not a quorvel IR blob (bad magic/version)"),
        (b"XXXX", "not a quorvel IR blob (bad magic/version)"),
        (b"QIR1" + u32(1) + b"\x07", "invalid node tag 7"),
        (b"QIR1" + u32(1) + b"\x00" + text("a") + u32(1) + text("k") + b"\x04", "invalid param tag 4"),
        (b"QIR1" + u32(1) + b"\x00" + u32(1) + b"\xff" + u32(0) + u32(0), "invalid utf-8 in quorvel IR blob"),
        (b"QIR1" + u32(1) + b"\x01" + text("f") + u32(0) + u32(1) + u64(0) + u32(0), "node reference 0 out of range"),
        (b"QIR1" + u32(1) + b"\x00" + text("a") + u32(0) + u32(1) + u64(1), "node reference 1 out of range"),
        (b"QIR1" + u32(0xFFFFFFFF), "truncated quorvel IR blob"),
        (b"QIR1" + u32(1) + b"\x00" + u32(0xFFFFFFFF), "truncated quorvel IR blob"),
        (b"QIR1" + u32(0) + u32(0xFFFFFFFF), "truncated quorvel IR blob"),
        # Two equal records merge, so the third record's input 1 names no node.
        (b"QIR1" + u32(3) + (b"\x00" + text("a") + u32(0)) * 2 + b"\x01" + text("f") + u32(0) + u32(1) + u64(1) + u32(0),
         "node reference 1 out of range"),
    ],
)
def test_malformed_blobs(raises, blob, message):
    with raises(ValueError, message):
        qc.GraphStore.deserialize(blob)


def _is_reader_error(message: str) -> bool:
    if message in BLOB_ERRORS:
        return True
    for what in ("node", "param", "stage-ref"):
        prefix = f"invalid {what} tag "
        if message.startswith(prefix) and message[len(prefix):].isdigit():
            return True
    return message.startswith("node reference ") and message.endswith(" out of range") and \
        message[len("node reference "):-len(" out of range")].isdigit()


SEED_BLOBS = [full_store().serialize([6, 0]), full_store().serialize([]), qc.GraphStore().serialize()]


@st.composite
def mutated_blobs(draw):
    blob = bytearray(draw(st.sampled_from(SEED_BLOBS)))
    for _ in range(draw(st.integers(1, 4))):
        kind = draw(st.sampled_from(["flip", "truncate", "insert", "huge", "delete"]))
        pos = draw(st.integers(0, max(0, len(blob) - 1)))
        if kind == "flip" and blob:
            blob[pos] ^= 1 << draw(st.integers(0, 7))
        elif kind == "truncate":
            del blob[pos:]
        elif kind == "insert":
            blob[pos:pos] = draw(st.binary(min_size=1, max_size=8))
        elif kind == "huge" and len(blob) >= pos + 4:
            blob[pos:pos + 4] = u32(draw(st.sampled_from([0xFFFFFFFF, 0x7FFFFFFF, 0x10000000])))
        elif kind == "delete" and blob:
            del blob[pos:pos + draw(st.integers(1, 8))]
    return bytes(blob)


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(mutated_blobs())
def test_mutated_blobs_decode_or_raise_a_reader_error(blob):
    try:
        store = qc.GraphStore.deserialize(blob)
    except ValueError as error:
        assert _is_reader_error(str(error)), str(error)
        return
    # Whatever decodes writes back to bytes that decode to the same store.
    again = store.serialize()
    assert qc.GraphStore.deserialize(again).serialize() == again
