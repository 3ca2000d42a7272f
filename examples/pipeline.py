"""A short example pipeline: build a graph, round-trip it through the IR blob,
print a summary and write the Graphviz DOT next to this script (or to the
path given as the first argument)."""

import sys
from pathlib import Path

import quorvel_core as qc


def build() -> tuple[qc.GraphStore, list[int]]:
    store = qc.GraphStore()
    events = store.add_source("events", {"path": "s3://bucket/events", "format": "parquet"})
    users = store.add_source("users", {"path": "s3://bucket/users"})
    parsed = store.add_op("parse", [events], {"schema": "v3"})
    scaled = store.add_op("mul", [parsed], {"scalar": 1.0, "side": "r"})  # multiply by one
    shifted = store.add_op("add", [scaled], {"scalar": 0.0, "side": "l"})  # add zero
    keyed = store.add_exchange([shifted], {"scheme": "hash", "key": "user_id"})
    joined = store.add_join([keyed, users], {"how": "inner"})
    model = qc.PayloadDescriptor(kind="onnx", content_hash="sha256:9f2c", framework="onnxruntime",
                                 version="1.18", io_schema="f32[n,8]->f32[n]")
    scored = store.add_external(model, [joined], {"batch": 256})
    total = store.add_reduction("sum", [scored], {"axis": 0})
    # Building the same node again returns the id it already has.
    assert store.add_op("parse", [events], {"schema": "v3"}) == parsed
    return store, [total]


def main() -> None:
    store, outputs = build()
    blob = store.serialize(outputs)
    restored = qc.GraphStore.deserialize(blob)
    assert restored.serialize() == blob, "a round trip reproduces the blob byte for byte"
    print(f"quorvel_core {qc.version()}")
    print(f"nodes: {store.node_count()}  outputs: {outputs}")
    print(f"IR blob: {len(blob)} bytes, round trip identical, restored outputs {restored.outputs()}")
    # The reducer is being built; the example prints its report once the
    # module offers it.
    if hasattr(store, "reduce"):
        reduced, report = store.reduce(outputs=outputs)
        print("reduction report:", {k: report[k] for k in sorted(report)})
        store = reduced
    if hasattr(store, "to_dot"):
        target = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("pipeline.dot")
        target.write_text(store.to_dot(), encoding="utf-8")
        print(f"DOT written to {target}")


if __name__ == "__main__":
    main()
