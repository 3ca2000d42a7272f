"""Interned, append-only IR graphs for data-processing pipelines.

Build a graph node by node in a `GraphStore`, persist it as the canonical IR
blob, inspect it, and reduce it against the outputs you need.
"""

from collections.abc import Callable, Sequence
from typing import Literal, SupportsFloat, SupportsIndex, TypedDict, TypeVar, final, overload, type_check_only

from typing_extensions import disjoint_base

__all__ = ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]

# A parameter value: bool, int (anything with __index__), float (anything
# with __float__) or str. A params argument must be a real dict (a subclass
# too). Since dict is invariant in its value type, each building method has
# two forms: one for literals and dicts of mixed values, and one, through a
# type variable, for a dict of any narrower value type (dict[str, int]).
_ParamValue = str | SupportsIndex | SupportsFloat
_P = TypeVar("_P", bound=str | SupportsIndex | SupportsFloat)
# The value type of a descriptor given as a dict.
_D = TypeVar("_D", bound=str | None)
# A parameter value as the views return it.
_ParamOut = bool | int | float | str

# One entry of `GraphStore.nodes()`; narrow it with `entry["kind"]`.
_NodeEntry = BasicNodeEntry | ExternalNodeEntry | StageNodeEntry
# Where one node landed: (id in the derived store, member index or None).
_Landing = tuple[int, int | None]

def version() -> str:
    """The module's version, "0.0.7".

    Returns:
        The version string.
    """

@disjoint_base
class PayloadDescriptor:
    """Reproducibility metadata an External node carries (participates in the structural hash).

    An immutable record of six read-only fields. It takes part in a node's
    identity by value, but the class itself defines no comparison, hashing or
    repr: two instances compare equal only when they are the same object.

    Example:
        >>> model = PayloadDescriptor(kind="onnx", content_hash="sha256:ab12",
        ...                           framework="onnxruntime", version="1.18",
        ...                           io_schema="f32[n]->f32[n]")
        >>> model.preprocessing_ref is None
        True
    """

    def __new__(
        cls,
        *,
        kind: str,
        content_hash: str,
        framework: str,
        version: str,
        io_schema: str,
        preprocessing_ref: str | None = None,
    ) -> PayloadDescriptor:
        """Create a descriptor. Every argument is keyword-only; any string is accepted.

        Args:
            kind: the kind of payload, for example "onnx".
            content_hash: a hash of the payload's content.
            framework: the framework that runs the payload.
            version: the framework's version.
            io_schema: the payload's input/output schema.
            preprocessing_ref: an optional reference to its preprocessing;
                None (or omitted) means absent, which differs from "".

        Raises:
            TypeError: an argument is not a str (the note names it), or one
                is passed positionally.
        """
    @property
    def kind(self) -> str:
        """The kind of payload (read-only)."""
    @property
    def content_hash(self) -> str:
        """The hash of the payload's content (read-only)."""
    @property
    def framework(self) -> str:
        """The framework that runs the payload (read-only)."""
    @property
    def version(self) -> str:
        """The framework's version (read-only)."""
    @property
    def io_schema(self) -> str:
        """The payload's input/output schema (read-only)."""
    @property
    def preprocessing_ref(self) -> str | None:
        """The reference to the payload's preprocessing, or None when absent (read-only)."""

@disjoint_base
class GraphStore:
    """Thread-safe interned graph store.

    Nodes are interned: adding a node identical to one already stored (same
    kind, name, parameters and inputs in the same order) returns the existing
    id. Ids are ints counted from 0 in order of first interning, and a
    node's inputs always name earlier nodes. The store only grows; reductions
    and cones build new stores. One store may be shared between threads.

    `len(store)` is `store.node_count()` (so an empty store is falsy), and
    `repr(store)` reads like `<GraphStore: 9 nodes, 1 output>`. Stores pickle
    and copy (`pickle`, `copy.copy`, `copy.deepcopy`) through the IR blob:
    the result has the same nodes, ids and marked outputs, and is always a
    plain `GraphStore`. A store that came out of `cone` or a reduction keeps
    its `node_map()` too: the pickle carries it beside the blob (the blob
    itself never holds a node map).

    Parameters (`params=`) are a dict of str to bool, int, float or str,
    sorted by name: `{"a": 1, "b": 2}` and `{"b": 2, "a": 1}` give the same
    node, while `True` and `1` (or `1.0` and `1`) give different ones. Inputs
    are any non-str sequence of node ids; their order and repeats count.

    Example:
        >>> store = GraphStore()
        >>> src = store.add_source("events", {"path": "s3://bucket/events"})
        >>> x = store.add_op("scale", [src], {"factor": 2.0})
        >>> store.add_op("scale", [src], {"factor": 2.0}) == x
        True
        >>> store.mark_output(x)
        >>> store
        <GraphStore: 2 nodes, 1 output>
    """

    def __new__(cls) -> GraphStore:
        """Create an empty store: no nodes, no outputs, an empty node map."""
    def __len__(self) -> int:
        """The number of nodes, as `node_count()`."""
    def __reduce__(self) -> tuple[Callable[..., GraphStore], tuple[bytes] | tuple[bytes, bytes]]:
        """Pickling support: the store travels as its IR blob with its marks, and its node map.

        Returns:
            A restorer and its arguments: the blob alone for a store with an
            empty node map (as earlier versions always wrote), or the blob
            and a record of the node map. Calling the restorer on them
            rebuilds a store with the same nodes, ids, marked outputs and
            node map; a record that names a node or a stage member the blob
            does not hold is refused with ValueError.
        """
    @overload
    def add_source(self, /, name: str, params: dict[str, _ParamValue] | None = None) -> int:
        """Add a source node.

        Args:
            name: the source's name.
            params: its parameters, or None for none.

        Returns:
            The node's id (the existing id if an identical source is stored).

        Raises:
            TypeError: `name` is not a str; `params` is not a dict or None
                ("params must be a dict or None"), has a non-str key, or a
                value that is not bool, int, float or str ("param values must
                be int, float, bool, or str").
        """
    @overload
    def add_source(self, /, name: str, params: dict[str, _P]) -> int: ...
    @overload
    def add_op(
        self, /, name: str, inputs: Sequence[SupportsIndex], params: dict[str, _ParamValue] | None = None
    ) -> int:
        """Add an operator node.

        Args:
            name: the operator's name, for example "add" or "scale".
            inputs: the ids of its inputs, in order (repeats allowed).
            params: its parameters, or None for none.

        Returns:
            The node's id (the existing id if an identical op is stored).

        Raises:
            ValueError: "no node with id N" for the first input that names no
                node; nothing is added.
            TypeError: as for `add_source`; `inputs` is a str ("Can't extract
                `str` to `Vec`") or not a sequence (note "while processing
                'inputs'").
            OverflowError: an input id is negative or above 2**64 - 1.
        """
    @overload
    def add_op(self, /, name: str, inputs: Sequence[SupportsIndex], params: dict[str, _P]) -> int: ...
    @overload
    def add_reduction(
        self, /, name: str, inputs: Sequence[SupportsIndex], params: dict[str, _ParamValue] | None = None
    ) -> int:
        """Add a reduction node, for example `add_reduction("sum", [x], {"axis": 0})`.

        Args:
            name: the reduction's name.
            inputs: the ids of its inputs, in order.
            params: its parameters, or None for none.

        Returns:
            The node's id.

        Raises:
            ValueError: "no node with id N"; nothing is added.
            TypeError, OverflowError: as for `add_op`.
        """
    @overload
    def add_reduction(
        self, /, name: str, inputs: Sequence[SupportsIndex], params: dict[str, _P]
    ) -> int: ...
    @overload
    def add_exchange(self, /, inputs: Sequence[SupportsIndex], params: dict[str, _ParamValue] | None = None) -> int:
        """Record an exchange boundary (no name: its scheme `params` and its input are its identity).

        Args:
            inputs: the id of its one logical input, as a list.
            params: its scheme, for example {"scheme": "hash", "key": "user_id"}.

        Returns:
            The node's id; `nodes()[i]["kind"] == "exchange"`.

        Raises:
            ValueError: "no node with id N"; nothing is added.
            TypeError, OverflowError: as for `add_op`.
        """
    @overload
    def add_exchange(self, /, inputs: Sequence[SupportsIndex], params: dict[str, _P]) -> int: ...
    @overload
    def add_join(self, /, inputs: Sequence[SupportsIndex], params: dict[str, _ParamValue] | None = None) -> int:
        """Record a join boundary of two inputs `[left, right]` (no name; the count is not checked).

        Args:
            inputs: the ids of the joined nodes, in order.
            params: its scheme, for example {"how": "inner"}.

        Returns:
            The node's id; `nodes()[i]["kind"] == "join"`.

        Raises:
            ValueError: "no node with id N"; nothing is added.
            TypeError, OverflowError: as for `add_op`.
        """
    @overload
    def add_join(self, /, inputs: Sequence[SupportsIndex], params: dict[str, _P]) -> int: ...
    @overload
    def add_external(
        self,
        /,
        descriptor: PayloadDescriptor | dict[str, _D],
        inputs: Sequence[SupportsIndex],
        params: dict[str, _ParamValue] | None = None,
    ) -> int:
        """Add an external model call, identified by its descriptor, inputs and parameters.

        Args:
            descriptor: a `PayloadDescriptor`, or a dict with the str keys
                "kind", "content_hash", "framework", "version", "io_schema"
                and optionally "preprocessing_ref" (str or None); other keys
                are ignored.
            inputs: the ids of its inputs, in order.
            params: its parameters, or None for none.

        Returns:
            The node's id.

        Raises:
            ValueError: "descriptor missing required field 'kind'" (or
                another field); "no node with id N". Nothing is added.
            TypeError: the descriptor is neither a `PayloadDescriptor` nor a
                dict, or a field is not a str; otherwise as for `add_op`.
        """
    @overload
    def add_external(
        self,
        /,
        descriptor: PayloadDescriptor | dict[str, _D],
        inputs: Sequence[SupportsIndex],
        params: dict[str, _P],
    ) -> int: ...
    def mark_output(self, /, id: SupportsIndex) -> None:
        """Mark a node as an output, appended to `outputs()` unless already marked.

        Marks are used by `serialize()`, `reduce()`, `reduce_incremental()`
        and `reduction_report()` when called without `outputs=`, and they
        survive pickling and the IR blob. Outputs are never unmarked.

        Args:
            id: the node's id.

        Raises:
            ValueError: "no node with id N"; the marks are unchanged.
            TypeError: `id` is not an integer (note "while processing 'id'").
            OverflowError: `id` is negative or above 2**64 - 1.

        Example:
            >>> store = GraphStore()
            >>> a = store.add_source("a")
            >>> store.mark_output(a); store.mark_output(a)
            >>> store.outputs()
            [0]
        """
    def mark_outputs(self, /, ids: Sequence[SupportsIndex]) -> None:
        """Mark several nodes as outputs, in order, all or nothing.

        Every id is checked before any is marked, so a bad id anywhere in
        `ids` leaves the marks as they were. Ids already marked, and repeats
        within `ids`, keep their first position.

        Args:
            ids: the nodes' ids, a non-str sequence.

        Raises:
            ValueError: "no node with id N" for the first bad id; nothing is
                marked.
            TypeError: `ids` is a str or not a sequence, or an item is not an
                integer (note "while processing 'ids'").
            OverflowError: an id is negative or above 2**64 - 1.
        """
    def node_count(self, /) -> int:
        """The number of nodes in the store."""
    def outputs(self, /) -> list[int]:
        """The marked output node ids, in mark order (what an IR evaluator returns, in order).

        Returns:
            A new list; empty for a store built node by node until
            `mark_output`/`mark_outputs` is called.
        """
    def nodes(self, /) -> list[_NodeEntry]:
        """Structured, read-only view of every node in id order.

        Returns:
            One new dict per node with "id", "output" (bool), "inputs",
            "kind" ("source", "op", "reduction", "external", "stage",
            "exchange" or "join"), "name" and "params"; an external node adds
            its "descriptor" dict, a fused stage "n_members" and "members"
            (each member's "kind", "name", "params" and "inputs", the latter
            as ("input", k) or ("member", j) pairs).
        """
    def node_map(self, /) -> list[_Landing | None]:
        """Where each node of the graph this store was derived from landed here.

        Returns:
            Indexed by the old graph's node id: `(new id, member index or
            None)`, or None when the node was dropped. Several old nodes may
            land on one new node (merged outputs included), so map each
            requested output through it rather than zipping it with
            `outputs()`. Empty for a store that did not come out of `cone` or
            a reduction, and for a store rebuilt from a blob; pickles and
            copies keep it.

        Example:
            >>> requested = [pred, agg, pred]
            >>> reduced, _ = store.reduce(outputs=requested)
            >>> landed = [reduced.node_map()[i][0] for i in requested]   # one id per request
            >>> reduced.outputs()                                        # each marked once
            [3, 2]
        """
    def serialize(self, /, outputs: Sequence[SupportsIndex] | None = None) -> bytes:
        """The canonical, versioned, byte-identical IR blob of the store.

        Args:
            outputs: the ids to flag as outputs, exactly, ignoring the
                marks; None (the default) flags the marked outputs.

        Returns:
            The blob; equal graphs built in the same order give equal bytes.

        Raises:
            ValueError: "no node with id N" for an id of `outputs`.
            TypeError, OverflowError: a bad `outputs` list (note "while
                processing 'outputs'").
        """
    @staticmethod
    def deserialize(data: bytes) -> GraphStore:
        """Rebuild a store from an IR blob, with the same node ids and marks.

        `serialize()` of the result gives back `data`. The node map is not
        part of the blob.

        Args:
            data: the blob; a `bytes` object (not bytearray or memoryview).

        Returns:
            A new store.

        Raises:
            ValueError: "truncated quorvel IR blob", "not a quorvel IR blob
                (bad magic/version)", "invalid node tag N" (also "param",
                "stage-ref"), "invalid utf-8 in quorvel IR blob" or "node
                reference N out of range".
            TypeError: `data` is not bytes (note "while processing 'data'").
        """
    def cone(self, /, *, outputs: Sequence[SupportsIndex]) -> GraphStore:
        """The part of the graph `outputs` depend on, without rewriting.

        Args:
            outputs: the ids to keep with everything they depend on
                (keyword-only, required).

        Returns:
            A new store marked with `outputs`, whose `node_map()` sends each
            kept id to `(cone id, None)`.

        Raises:
            ValueError: "no node with id N".
            TypeError, OverflowError: a bad `outputs` list.
        """
    def reduce(
        self, /, *, maximal_fusion: bool = False, outputs: Sequence[SupportsIndex] | None = None
    ) -> tuple[GraphStore, ReductionReport]:
        """Reduce the graph against its outputs into a new store.

        Dead nodes are dropped, provably equal nodes merged (commutative
        operators, add-zero and multiply-by-one, identical sub-graphs) and
        chains of ops fused into stages. This store is left unchanged.

        Args:
            maximal_fusion: also fuse an op that fans out when all its users
                land in one stage (a bool, keyword-only).
            outputs: the ids to reduce against; None uses the marked outputs
                (a store without marks reduces to an empty store).

        Returns:
            The reduced store (outputs marked, `node_map()` pointing back into
            this graph) and a report dict with the int counts
            "input_nodes", "reachable_nodes", "canonical_nodes", "stages",
            "reduced_nodes" and "boundary_nodes" (index it by key; its order
            is not fixed).

        Raises:
            ValueError: "no node with id N".
            TypeError: `maximal_fusion` is not a bool; a bad `outputs` list.

        Example:
            >>> reduced, report = store.reduce(outputs=[pred])
            >>> report["reduced_nodes"] == reduced.node_count()
            True
        """
    def reduce_incremental(
        self, /, *, outputs: Sequence[SupportsIndex] | None = None
    ) -> tuple[GraphStore, ReductionReport]:
        """One-shot incremental reduction; the same result as `reduce(outputs=outputs)`.

        For step-by-step reduction while the graph grows, use `IncrementalReducer`.

        Raises:
            ValueError: "no node with id N".
        """
    def reduction_report(self, /, *, outputs: Sequence[SupportsIndex] | None = None) -> ReductionReport:
        """The report of `reduce(outputs=outputs)`, without keeping the reduced store.

        Raises:
            ValueError: "no node with id N".
        """
    def to_dot(self, /) -> str:
        """Graphviz text of the graph: a digraph named quorvel, one labelled node n<id> per node.

        Returns:
            The DOT text; outputs are drawn as double circles.
        """

@final
class IncrementalReducer:
    """Incremental reduction while a graph is being built.

    A reducer holds no reference to a store: pass the store on every call,
    always the same one. Each `step` folds in only the nodes added since the
    previous call; `finalize` reduces what it has kept.

    Example:
        >>> reducer = IncrementalReducer()
        >>> reducer.step(store)
        5
        >>> reduced, report = reducer.finalize(store, outputs=[pred])
    """

    def __new__(cls) -> IncrementalReducer:
        """Create a reducer that has consumed nothing."""
    def step(self, /, store: GraphStore) -> int:
        """Canonicalize only the nodes added to `store` since the previous step.

        The reducer must always be fed the same store: it does not check.

        Returns:
            The number of nodes consumed by this call (0 when none are new).

        Raises:
            TypeError: `store` is not a `GraphStore` (note "while processing
                'store'"); the reducer is unchanged.
        """
    def watermark(self, /) -> int:
        """How many of the store's nodes have been consumed so far."""
    def total_work(self, /) -> int:
        """Nodes processed across all steps; equals `watermark()` (each node is processed once)."""
    def canonical_count(self, /) -> int:
        """The size of the maintained canonical form."""
    def finalize(
        self, /, store: GraphStore, *, maximal_fusion: bool = False, outputs: Sequence[SupportsIndex] | None = None
    ) -> tuple[GraphStore, ReductionReport]:
        """Consume any new nodes of `store` and reduce what has been kept.

        Args:
            store: the store given to `step`.
            maximal_fusion: as for `GraphStore.reduce`.
            outputs: the ids to reduce against; None uses the store's marks.

        Returns:
            The reduced store and the report dict, as `GraphStore.reduce`;
            its `node_map()` is indexed by the ids of `store`. The report
            counts the canonical form the steps kept: "input_nodes" is
            `canonical_count()`, not the store's node count, and
            "reachable_nodes" counts canonical nodes.

        The reducer is not reset: a later `step` or `finalize` consumes only
        nodes added since. It does not notice a different store being passed:
        that store's nodes from `watermark()` on would be read as if they
        continued the first one.

        Raises:
            ValueError: "no node with id N" for an id of `outputs`, reported
                before any node is consumed.
            TypeError: `store` is not a `GraphStore`; a bad argument.
        """

# The shapes of what the views and reductions return. They exist for type
# checkers only: import them under `if TYPE_CHECKING:`.

@type_check_only
class DescriptorEntry(TypedDict):
    """The "descriptor" of an external node in `GraphStore.nodes()`."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: str | None

@type_check_only
class BasicNodeEntry(TypedDict):
    """A source, op, reduction, exchange or join node in `GraphStore.nodes()`.

    "name" is "" for an exchange or a join; "inputs" is [] for a source.
    """

    id: int
    output: bool
    inputs: list[int]
    kind: Literal["source", "op", "reduction", "exchange", "join"]
    name: str
    params: dict[str, _ParamOut]

@type_check_only
class ExternalNodeEntry(TypedDict):
    """An external model call in `GraphStore.nodes()`: the common keys, "name" "", and its "descriptor"."""

    id: int
    output: bool
    inputs: list[int]
    kind: Literal["external"]
    name: str
    params: dict[str, _ParamOut]
    descriptor: DescriptorEntry

@type_check_only
class StageMemberEntry(TypedDict):
    """One member of a fused stage, in the stage's "members" list.

    "inputs" says where each of the member's inputs comes from:
    ("input", k) is the stage's k-th input (its node id is the stage's
    `inputs[k]`), ("member", j) the value of the stage's j-th member, always
    an earlier one. Reductions fuse ops only, so "kind" is "op" (a stage read
    from a hand-written blob may also hold "red" members).
    """

    kind: Literal["op", "red"]
    name: str
    params: dict[str, _ParamOut]
    inputs: list[tuple[Literal["input", "member"], int]]

@type_check_only
class StageNodeEntry(TypedDict):
    """A fused stage in `GraphStore.nodes()`: "name" "", "params" {}, and its members in order.

    The stage's value is the value of its last member.
    """

    id: int
    output: bool
    inputs: list[int]
    kind: Literal["stage"]
    name: str
    params: dict[str, _ParamOut]
    n_members: int
    members: list[StageMemberEntry]

@type_check_only
class ReductionReport(TypedDict):
    """The report of a reduction: six counts (its key order is not fixed)."""

    input_nodes: int
    reachable_nodes: int
    canonical_nodes: int
    stages: int
    reduced_nodes: int
    boundary_nodes: int
