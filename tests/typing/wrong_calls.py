"""Calls the runtime rejects. `mypy --strict` must report an error on every
line marked `# wrong` and nowhere else; run, each marked call must raise."""

from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from types import MappingProxyType

import quorvel_core as qc


@contextmanager
def rejected() -> Iterator[None]:
    try:
        yield
    except (TypeError, ValueError, OverflowError, AttributeError):
        return
    raise AssertionError("the call was accepted")


store = qc.GraphStore()
src = store.add_source("s")
reducer = qc.IncrementalReducer()
descriptor = qc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="1", io_schema="s")
nested: dict[str, object] = {"a": [1]}
read_only: Mapping[str, int] = MappingProxyType({"a": 1})

with rejected():
    store.add_source(5)  # wrong
with rejected():
    store.add_source("s", {"a": None})  # wrong
with rejected():
    store.add_source("s", {1: 2})  # wrong
with rejected():
    store.add_source("s", nested)  # wrong
with rejected():
    store.add_source("s", read_only)  # wrong
with rejected():
    store.add_source("s", [("a", 1)])  # wrong
with rejected():
    store.add_op("f", "0")  # wrong
with rejected():
    store.add_op("f", [0.5])  # wrong
with rejected():
    store.add_op("f")  # wrong
with rejected():
    store.add_reduction("sum", src)  # wrong
with rejected():
    store.add_exchange([src], {"key": b"k"})  # wrong
with rejected():
    store.add_external({"kind": 1}, [src])  # wrong
with rejected():
    store.add_external("onnx", [src])  # wrong
with rejected():
    store.mark_output("0")  # wrong
with rejected():
    store.mark_output(None)  # wrong
with rejected():
    store.mark_outputs("0")  # wrong
with rejected():
    store.mark_outputs(src)  # wrong
with rejected():
    store.serialize("0")  # wrong
with rejected():
    store.cone()  # wrong
with rejected():
    store.reduce(True)  # wrong
with rejected():
    store.reduce(maximal_fusion=1)  # wrong
with rejected():
    store.reduction_report(outputs=src)  # wrong
with rejected():
    qc.GraphStore.deserialize("QIR1")  # wrong
with rejected():
    qc.GraphStore(1)  # wrong
with rejected():
    qc.PayloadDescriptor("k", "h", "f", "1", "s")  # wrong
with rejected():
    descriptor.kind = "other"  # wrong
with rejected():
    reducer.step(42)  # wrong
with rejected():
    reducer.finalize(store, True)  # wrong
