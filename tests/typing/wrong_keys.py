"""Misspelled and misplaced keys of the views and the report. `mypy --strict`
must report an error on every line marked `# wrong` and nowhere else; run,
each marked line must fail."""

from collections.abc import Iterator
from contextlib import contextmanager

import quorvel_core as qc


@contextmanager
def rejected() -> Iterator[None]:
    try:
        yield
    except (KeyError, IndexError):
        return
    raise AssertionError("the key was found")


store = qc.GraphStore()
src = store.add_source("s")
op = store.add_op("f", [src])
last = store.add_op("g", [op])
reduced, report = store.reduce(outputs=[last])
source_entry, stage_entry = reduced.nodes()

with rejected():
    print(report["stage"])  # wrong
with rejected():
    print(report["reduced"])  # wrong
with rejected():
    print(stage_entry["memebrs"])  # wrong
with rejected():
    print(source_entry["n_members"])  # wrong
with rejected():
    print(source_entry["descriptor"])  # wrong
if stage_entry["kind"] == "stage":
    member = stage_entry["members"][0]
    with rejected():
        print(member["id"])  # wrong
    with rejected():
        print(member["ref"])  # wrong
    with rejected():
        print(member["inputs"][0][2])  # wrong
landed = reduced.node_map()[last]
if landed is not None:
    with rejected():
        print(landed[2])  # wrong
