"""A short example pipeline: build a graph, round-trip it through the IR blob,
reduce it and print the reduction report, and write the Graphviz DOT of the
graph and of its reduced form next to this script (pipeline.dot and
pipeline_reduced.dot, or to the path given as the first argument and the
same name with "_reduced" added), and render both to SVG when Graphviz is
installed."""

import shutil
import subprocess
import sys
from pathlib import Path

import quorvel_core as qc


def build() -> qc.GraphStore:
    store = qc.GraphStore()
    events = store.add_source("events", {"path": "s3://bucket/events", "format": "parquet"})
    users = store.add_source("users", {"path": "s3://bucket/users"})
    parsed = store.add_op("parse", [events], {"schema": "v3"})
    scaled = store.add_op("mul", [parsed], {"scalar": 1.0, "side": "r"})  # multiply by one
    shifted = store.add_op("add", [scaled], {"scalar": 0.0, "side": "l"})  # add zero
    filtered = store.add_op("filter", [shifted], {"expr": "amount > 0"})
    projected = store.add_op("project", [filtered], {"columns": "user_id,amount"})
    keyed = store.add_exchange([projected], {"scheme": "hash", "key": "user_id"})
    joined = store.add_join([keyed, users], {"how": "inner"})
    model = qc.PayloadDescriptor(kind="onnx", content_hash="sha256:9f2c", framework="onnxruntime",
                                 version="1.18", io_schema="f32[n,8]->f32[n]")
    scored = store.add_external(model, [joined], {"batch": 256})
    total = store.add_reduction("sum", [scored], {"axis": 0})
    # Building the same node again returns the id it already has.
    assert store.add_op("parse", [events], {"schema": "v3"}) == parsed
    # The pipeline's result: serialize() and reduce() use the marked outputs.
    store.mark_output(total)
    return store


def render_svg(dot_file: Path) -> Path | None:
    """Renders a written .dot file to an .svg beside it when Graphviz is installed."""
    if shutil.which("dot") is None:
        return None
    svg_file = dot_file.with_suffix(".svg")
    subprocess.run(["dot", "-Tsvg", str(dot_file), "-o", str(svg_file)], check=True)
    return svg_file


def main() -> None:
    store = build()
    blob = store.serialize()
    restored = qc.GraphStore.deserialize(blob)
    assert restored.serialize() == blob, "a round trip reproduces the blob byte for byte"
    print(f"quorvel_core {qc.version()}")
    print(f"nodes: {len(store)}  outputs: {store.outputs()}  ({store!r})")
    print(f"IR blob: {len(blob)} bytes, round trip identical, restored outputs {restored.outputs()}")

    # Reduce against the marked outputs: the multiply-by-one and add-zero
    # vanish and parse, filter and project fuse into one stage; the source
    # store is left as it was.
    reduced, report = store.reduce()
    print("reduction report:", {key: report[key] for key in sorted(report)})
    print(f"reduced nodes: {reduced.node_count()}  outputs: {reduced.outputs()}")
    print("node map (old id -> (new id, stage member)):", reduced.node_map())
    for entry in reduced.nodes():  # the structured view tools read
        if entry["kind"] == "stage":
            print(f"stage {entry['id']}:", " -> ".join(f"{m['name']} {m['params']}" for m in entry["members"]))

    target = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("pipeline.dot")
    reduced_target = target.with_name(f"{target.stem}_reduced{target.suffix}")
    target.write_text(store.to_dot(), encoding="utf-8")
    reduced_target.write_text(reduced.to_dot(), encoding="utf-8")
    print(f"DOT written to {target} and {reduced_target}")
    svgs = [render_svg(path) for path in (target, reduced_target)]
    if all(svgs):
        print(f"SVG rendered to {svgs[0]} and {svgs[1]}")
    else:
        print("Graphviz (dot) not found: no SVG rendered")


if __name__ == "__main__":
    main()
