from collections.abc import Sequence
from typing import SupportsIndex, final

from typing_extensions import disjoint_base

__all__ = ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]

_ParamValue = int | float | bool | str

def version() -> str: ...

@disjoint_base
class PayloadDescriptor:
    """Reproducibility metadata an External node carries (participates in the structural hash)."""

    def __new__(
        cls,
        *,
        kind: str,
        content_hash: str,
        framework: str,
        version: str,
        io_schema: str,
        preprocessing_ref: str | None = None,
    ) -> PayloadDescriptor: ...
    @property
    def kind(self) -> str: ...
    @property
    def content_hash(self) -> str: ...
    @property
    def framework(self) -> str: ...
    @property
    def version(self) -> str: ...
    @property
    def io_schema(self) -> str: ...
    @property
    def preprocessing_ref(self) -> str | None: ...

@disjoint_base
class GraphStore:
    """Thread-safe interned graph store."""

    def __new__(cls) -> GraphStore: ...
    def add_source(self, /, name: str, params: dict[str, _ParamValue] | None = None) -> int: ...
    def add_op(
        self, /, name: str, inputs: Sequence[SupportsIndex], params: dict[str, _ParamValue] | None = None
    ) -> int: ...
    def add_reduction(
        self, /, name: str, inputs: Sequence[SupportsIndex], params: dict[str, _ParamValue] | None = None
    ) -> int: ...
    def add_exchange(
        self, /, inputs: Sequence[SupportsIndex], params: dict[str, _ParamValue] | None = None
    ) -> int: ...
    def add_join(self, /, inputs: Sequence[SupportsIndex], params: dict[str, _ParamValue] | None = None) -> int: ...
    def add_external(
        self,
        /,
        descriptor: PayloadDescriptor | dict[str, str | None],
        inputs: Sequence[SupportsIndex],
        params: dict[str, _ParamValue] | None = None,
    ) -> int: ...
    def node_count(self, /) -> int: ...
    def outputs(self, /) -> list[int]: ...
    def serialize(self, /, outputs: Sequence[SupportsIndex] | None = None) -> bytes: ...
    @staticmethod
    def deserialize(data: bytes) -> GraphStore: ...
    def to_dot(self, /) -> str: ...

@final
class IncrementalReducer:
    """Incremental reduction while a graph is being built."""

    def __new__(cls) -> IncrementalReducer: ...
