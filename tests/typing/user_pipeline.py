"""A user's pipeline script, written against the type stubs: it must pass
`mypy --strict` and run without error."""

import copy
import pickle
from collections import OrderedDict
from collections.abc import Mapping

import quorvel_core as qc


def build(store: qc.GraphStore) -> list[int]:
    events = store.add_source("events", {"path": "s3://bucket/events", "format": "parquet"})
    users = store.add_source("users")
    # Typed parameter dicts of each value type, and of a mix of them.
    axis: dict[str, int] = {"axis": 0}
    factor: dict[str, float] = {"factor": 2.0}
    flags: dict[str, bool] = {"inplace": True}
    schema: dict[str, str] = {"schema": "v3"}
    mixed: dict[str, int | float | bool | str] = {"scalar": 1.0, "side": "r", "n": 3, "on": False}
    ordered: OrderedDict[str, int] = OrderedDict(limit=10)
    parsed = store.add_op("parse", [events], schema)
    scaled = store.add_op("scale", (parsed,), factor)
    shifted = store.add_op("mul", [scaled], mixed)
    # A literal of mixed value types, inline.
    shifted = store.add_op("add", [shifted], {"scalar": 0.0, "side": "l", "n": 1, "exact": True})
    limited = store.add_op("limit", [shifted], params=ordered)
    copied = store.add_op("copy", inputs=[limited], params=flags)
    keyed = store.add_exchange([copied], {"scheme": "hash", "key": "user_id"})
    joined = store.add_join([keyed, users], {"how": "inner"})
    # A descriptor as a typed dict of str, as a dict with an absent
    # preprocessing reference, and as the class.
    descriptor: dict[str, str] = {"kind": "onnx", "content_hash": "sha256:9f2c", "framework": "onnxruntime",
                                  "version": "1.18", "io_schema": "f32[n,8]->f32[n]"}
    optional_ref: dict[str, str | None] = {**descriptor, "preprocessing_ref": None}
    model = qc.PayloadDescriptor(**descriptor)
    scored = store.add_external(descriptor, [joined], {"batch": 256})
    assert store.add_external(optional_ref, [joined], {"batch": 256}) == scored
    assert store.add_external(model, [joined], params={"batch": 256}) == scored
    total = store.add_reduction("sum", [scored], axis)
    return [total, scored]


def main() -> None:
    store = qc.GraphStore()
    outputs = build(store)
    store.mark_outputs(outputs)
    store.mark_output(outputs[0])
    assert len(store) == store.node_count() and store.outputs() == outputs
    print(repr(store))

    reduced, report = store.reduce()
    counts: Mapping[str, object] = report
    print(reduced, sorted(counts.items()), report["reduced_nodes"] + 1)
    node_map: list[tuple[int, int | None] | None] = reduced.node_map()
    assert len(node_map) == len(store)
    for entry in reduced.nodes():
        fields: Mapping[str, object] = entry
        print(fields["id"], entry["kind"], entry["name"])

    blob: bytes = store.serialize()
    again = qc.GraphStore.deserialize(blob)
    travelled = pickle.loads(pickle.dumps(store))
    assert isinstance(travelled, qc.GraphStore)
    for other in (again, travelled, copy.copy(store), copy.deepcopy(store)):
        assert other.serialize() == blob and other.outputs() == outputs

    reducer = qc.IncrementalReducer()
    consumed: int = reducer.step(store)
    final, _ = reducer.finalize(store, maximal_fusion=True, outputs=outputs[:1])
    print(consumed, reducer.watermark(), final.to_dot().splitlines()[0], store.cone(outputs=[0]))
    print(qc.version())


if __name__ == "__main__":
    main()
