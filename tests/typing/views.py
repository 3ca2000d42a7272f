"""A tool reading the views, written against the type stubs: narrowing an
entry of `nodes()` on its "kind" gives the keys of that kind, stage members
and their references are typed, and the report is indexed by its six keys.
It must pass `mypy --strict` and run without error."""

from typing import TYPE_CHECKING, Literal

import quorvel_core as qc

if TYPE_CHECKING:
    from quorvel_core import ReductionReport, StageMemberEntry


def describe(member: "StageMemberEntry", stage_inputs: list[int]) -> str:
    sources: list[str] = []
    for where, index in member["inputs"]:
        origin: Literal["input", "member"] = where
        sources.append(f"node {stage_inputs[index]}" if origin == "input" else f"member {index}")
    return f"{member['kind']} {member['name']}({', '.join(sources)})"


def walk(store: qc.GraphStore) -> list[str]:
    lines: list[str] = []
    for entry in store.nodes():
        node_id: int = entry["id"]
        if entry["kind"] == "stage":
            count: int = entry["n_members"]
            assert count == len(entry["members"])
            lines += [f"{node_id}: {describe(m, entry['inputs'])}" for m in entry["members"]]
        elif entry["kind"] == "external":
            ref: str | None = entry["descriptor"]["preprocessing_ref"]
            lines.append(f"{node_id}: model {entry['descriptor']['content_hash']} {ref}")
        else:
            kind: Literal["source", "op", "reduction", "exchange", "join"] = entry["kind"]
            lines.append(f"{node_id}: {kind} {entry['name']} {sorted(entry['params'])} {entry['inputs']}")
    return lines


def main() -> None:
    store = qc.GraphStore()
    src = store.add_source("events")
    scaled = store.add_op("scale", [src], {"factor": 2.0})
    total = store.add_op("add", [scaled, src])
    model = store.add_external({"kind": "onnx", "content_hash": "sha256:ab12", "framework": "onnxruntime",
                                "version": "1.18", "io_schema": "f32[n]->f32[n]"}, [total])
    reduced, report = store.reduce(outputs=[model, total, model])
    counts: "ReductionReport" = report
    assert counts["reduced_nodes"] == counts["stages"] + counts["boundary_nodes"] == reduced.node_count()
    landed = reduced.node_map()[model]
    assert landed is not None
    new_id, member = landed
    assert member is None and new_id in reduced.outputs()
    print("\n".join(walk(reduced)))


if __name__ == "__main__":
    main()
