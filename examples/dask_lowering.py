"""A reference lowering of quorvel IR onto Dask, written as a framework would.

Three parts:

- a small op vocabulary over partitioned pandas DataFrames: generated
  sources, row-local column ops, arithmetic and comparisons with scalar
  operands (written in the identity forms of docs/semantics.md), reductions as
  a per-partition partial plus a combine, a hash exchange, a co-partitioned
  join, and an external model call whose weights derive from its content hash;
- `Pipeline`, the builder a user writes against: columns and frames whose
  operators emit IR nodes into a `quorvel_core.GraphStore`;
- `lower`, which turns a store (reduced or not) into a Dask task graph by
  walking `nodes()` in id order, one task per partition per node (a stage is
  one task per partition that runs its members), and `compute`, which runs
  it on any Dask scheduler and returns the requested outputs.

Values: a node that reads at least one partitioned input (and every source,
exchange, join and external call) is partitioned, a list of `partitions`
pandas objects with disjoint indexes; a reduction, and an op that reads only
such whole values, is one object. Every partition-wise function is
deterministic, so the same graph gives bit-identical values on any scheduler.

The builder follows the rewrite contract: string concatenation is `concat`
(never `add`), the identity forms `+ 0.0` and `* 1.0` are written only on
float columns (on integer and boolean columns the scalar op carries a
"promote" parameter, so the reducer keeps the dtype change), and the sources
never produce signed zeros, for which `x + 0.0` is not exact.
"""

from __future__ import annotations

import functools
import hashlib
import operator
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np
import pandas as pd

import quorvel_core as qc


class UnknownOpError(ValueError):
    """The lowering met a node whose operator it has no implementation for."""


# --- the op vocabulary ------------------------------------------------------------------------

# Sources: name -> generator(partition, partitions, **params) -> DataFrame.
# Values are drawn from continuous distributions, so no value is ever zero:
# the identity forms are exact on them.


def _rng(seed: int, partition: int) -> np.random.Generator:
    return np.random.default_rng([seed, partition])


def _index(partition: int, rows: int) -> pd.RangeIndex:
    return pd.RangeIndex(partition * rows, (partition + 1) * rows)


def generate_events(partition: int, partitions: int, *, rows: int, seed: int, keys: int) -> pd.DataFrame:
    rng = _rng(seed, partition)
    categories = np.array(["alpha", "beta", "gamma", "delta"], dtype=object)
    return pd.DataFrame(
        {
            "key": rng.integers(0, keys, rows, dtype=np.int64),
            "x": rng.normal(1.0, 2.0, rows),
            "y": rng.normal(-0.5, 1.5, rows),
            "z": rng.uniform(0.5, 3.0, rows),
            "n": rng.integers(1, 50, rows, dtype=np.int64),
            "cat": categories[rng.integers(0, len(categories), rows)],
        },
        index=_index(partition, rows),
    )


def generate_users(partition: int, partitions: int, *, rows: int, seed: int, keys: int) -> pd.DataFrame:
    # Every key once, spread over the partitions; `rows` is ignored beyond
    # the index width.
    rng = _rng(seed, partition)
    key = np.arange(partition, keys, partitions, dtype=np.int64)
    regions = np.array(["north", "south", "east", "west"], dtype=object)
    return pd.DataFrame(
        {
            "key": key,
            "weight": rng.uniform(0.1, 2.0, len(key)),
            "region": regions[rng.integers(0, len(regions), len(key))],
        },
        index=pd.RangeIndex(partition * keys, partition * keys + len(key)),
    )


SOURCES: dict[str, Callable[..., pd.DataFrame]] = {"events": generate_events, "users": generate_users}


def _scalar_op(fn: Callable[[Any, Any], Any]) -> Callable[..., Any]:
    """A binary operator as an op: two inputs, or one input and a scalar
    operand on side "r" (`v op scalar`) or "l" (`scalar op v`)."""

    def op(*inputs: Any, scalar: Any = None, side: str = "r", promote: str | None = None) -> Any:
        if scalar is None:
            a, b = inputs
            return fn(a, b)
        (v,) = inputs
        if promote is not None:
            v = v.astype(promote)
        return fn(v, scalar) if side == "r" else fn(scalar, v)

    return op


def _col(frame: pd.DataFrame, *, name: str) -> pd.Series:
    # Columns travel unnamed: a name is given only when a frame is assembled.
    return frame[name].rename(None)


def _assign(frame: pd.DataFrame, *columns: pd.Series, names: str) -> pd.DataFrame:
    return frame.assign(**dict(zip(names.split(","), columns)))


def _select(frame: pd.DataFrame, *, columns: str) -> pd.DataFrame:
    return frame[columns.split(",")]


def _filter(frame: pd.DataFrame, mask: pd.Series) -> pd.DataFrame:
    return frame[mask]


def _where(cond: pd.Series, a: pd.Series, b: pd.Series) -> pd.Series:
    return a.where(cond, b)


# Row-local ops: name -> function(*inputs, **params). The eight names the
# reducer treats as commutative (add, mul, and, or, eq, ne, maximum,
# minimum) are commutative here on every value the sources produce.
OPS: dict[str, Callable[..., Any]] = {
    "col": _col,
    "assign": _assign,
    "select": _select,
    "filter": _filter,
    "where": _where,
    "add": _scalar_op(operator.add),
    "sub": _scalar_op(operator.sub),
    "mul": _scalar_op(operator.mul),
    "div": _scalar_op(operator.truediv),
    "lt": _scalar_op(operator.lt),
    "gt": _scalar_op(operator.gt),
    "eq": _scalar_op(operator.eq),
    "ne": _scalar_op(operator.ne),
    "and": _scalar_op(operator.and_),
    "or": _scalar_op(operator.or_),
    "maximum": _scalar_op(np.maximum),
    "minimum": _scalar_op(np.minimum),
    "concat": _scalar_op(operator.add),  # strings: not commutative, so not named "add"
    "neg": operator.neg,
    "abs": np.abs,
    "tanh": np.tanh,
    "log1p": np.log1p,
    "square": np.square,
    "cast": lambda v, *, dtype: v.astype(dtype),
}


@dataclass(frozen=True)
class ReductionImpl:
    """A reduction as a per-partition partial and a combine of the partials in partition order."""

    partial: Callable[..., Any]
    combine: Callable[..., Any]


def _sum_partial(v: pd.Series) -> Any:
    return v.sum()


def _sum_combine(parts: list[Any]) -> Any:
    return functools.reduce(operator.add, parts)


def _mean_partial(v: pd.Series) -> tuple[Any, int]:
    return v.sum(), len(v)


def _mean_combine(parts: list[tuple[Any, int]]) -> np.float64:
    total = functools.reduce(operator.add, [p[0] for p in parts])
    return np.float64(total / sum(p[1] for p in parts))


def _groupby_partial(frame: pd.DataFrame, *, by: str, column: str) -> pd.Series:
    return frame.groupby(by, sort=True)[column].sum()


def _groupby_combine(parts: list[pd.Series], *, by: str, column: str) -> pd.Series:
    return pd.concat(parts).groupby(level=0, sort=True).sum()


REDUCTIONS: dict[str, ReductionImpl] = {
    "sum": ReductionImpl(_sum_partial, _sum_combine),
    "mean": ReductionImpl(_mean_partial, _mean_combine),
    "max": ReductionImpl(lambda v: v.max(), lambda parts: functools.reduce(max, parts)),
    "count": ReductionImpl(lambda v: np.int64(len(v)), _sum_combine),
    "groupby_sum": ReductionImpl(_groupby_partial, _groupby_combine),
}


def split_by_hash(frame: pd.DataFrame, *, key: str, partitions: int) -> list[pd.DataFrame]:
    """The pieces of one input partition, by the hash of its key column."""
    target = pd.util.hash_array(frame[key].to_numpy()) % np.uint64(partitions)
    return [frame[target == p] for p in range(partitions)]


def gather_piece(pieces: list[list[pd.DataFrame]], *, partition: int) -> pd.DataFrame:
    """Output partition `partition` of an exchange: its piece of every input partition, in order."""
    return pd.concat([p[partition] for p in pieces])


def join_partitions(left: pd.DataFrame, right: pd.DataFrame, *, on: str, how: str = "inner") -> pd.DataFrame:
    return left.merge(right, on=on, how=how, sort=False)


@functools.lru_cache(maxsize=None)
def model_weights(content_hash: str, width: int) -> tuple[tuple[float, ...], float]:
    """The weights of a model: a pure function of its content hash."""
    seed = int.from_bytes(hashlib.sha256(content_hash.encode()).digest()[:8], "little")
    rng = np.random.default_rng(seed)
    return tuple(rng.normal(0.0, 1.0, width)), float(rng.normal())


def run_model(frame: pd.DataFrame, *, content_hash: str, columns: str) -> pd.Series:
    names = columns.split(",")
    weights, bias = model_weights(content_hash, len(names))
    # Column by column in a fixed order: the same bits whatever the partition size.
    total = pd.Series(bias, index=frame.index)
    for name, w in zip(names, weights):
        total = total + frame[name] * w
    return np.tanh(total)


# --- the builder ------------------------------------------------------------------------------

FLOAT, INT, BOOL, STR = "float64", "int64", "bool", "str"


class Pipeline:
    """The user-facing builder: every expression is a node of `store`."""

    def __init__(self, store: qc.GraphStore | None = None) -> None:
        self.store = store if store is not None else qc.GraphStore()

    def source(self, kind: str, *, rows: int, seed: int, keys: int) -> Frame:
        schema = {"events": {"key": INT, "x": FLOAT, "y": FLOAT, "z": FLOAT, "n": INT, "cat": STR},
                  "users": {"key": INT, "weight": FLOAT, "region": STR}}[kind]
        node = self.store.add_source(kind, {"rows": rows, "seed": seed, "keys": keys})
        return Frame(self, node, schema)

    def model(self, content_hash: str, frame: Frame, columns: list[str]) -> Column:
        descriptor = qc.PayloadDescriptor(kind="linear-tanh", content_hash=content_hash, framework="numpy",
                                          version=np.__version__, io_schema=f"f64[n,{len(columns)}]->f64[n]")
        node = self.store.add_external(descriptor, [frame.node], {"columns": ",".join(columns)})
        return Column(self, node, FLOAT)


@dataclass(frozen=True)
class Frame:
    pipeline: Pipeline
    node: int
    schema: dict[str, str] = field(hash=False)

    def __getitem__(self, name: str) -> Column:
        node = self.pipeline.store.add_op("col", [self.node], {"name": name})
        return Column(self.pipeline, node, self.schema[name])

    def assign(self, **columns: Column) -> Frame:
        store = self.pipeline.store
        node = store.add_op("assign", [self.node, *(c.node for c in columns.values())],
                            {"names": ",".join(columns)})
        return Frame(self.pipeline, node, {**self.schema, **{k: c.dtype for k, c in columns.items()}})

    def select(self, *names: str) -> Frame:
        node = self.pipeline.store.add_op("select", [self.node], {"columns": ",".join(names)})
        return Frame(self.pipeline, node, {k: self.schema[k] for k in names})

    def filter(self, mask: Column) -> Frame:
        return Frame(self.pipeline, self.pipeline.store.add_op("filter", [self.node, mask.node]), self.schema)

    def exchange(self, key: str) -> Frame:
        node = self.pipeline.store.add_exchange([self.node], {"scheme": "hash", "key": key})
        return Frame(self.pipeline, node, self.schema)

    def join(self, other: Frame, on: str) -> Frame:
        # Both sides are hash-partitioned on the key first, so the join is partition-wise.
        left, right = self.exchange(on), other.exchange(on)
        node = self.pipeline.store.add_join([left.node, right.node], {"on": on, "how": "inner"})
        return Frame(self.pipeline, node, {**self.schema, **other.schema})

    def groupby_sum(self, by: str, column: str) -> Value:
        node = self.pipeline.store.add_reduction("groupby_sum", [self.node], {"by": by, "column": column})
        return Value(self.pipeline, node)


@dataclass(frozen=True)
class Value:
    """A reduction's result: one object, not partitioned."""

    pipeline: Pipeline
    node: int


def _binary_method(name: str, side: str = "r", result: str | None = None) -> Callable[..., Column]:
    """`column <op> other` (side "r") or `other <op> column` (side "l")."""

    def method(self: Column, other: Any) -> Column:
        return self._binary(name, other, side, result)

    method.__name__ = name
    return method


def _unary_method(name: str, result: str | None = None) -> Callable[[Column], Column]:
    def method(self: Column) -> Column:
        return self._op(name, [self.node], result or self.dtype)

    method.__name__ = name
    return method


@dataclass(frozen=True)
class Column:
    pipeline: Pipeline
    node: int
    dtype: str

    def _op(self, name: str, inputs: list[int], dtype: str, params: dict[str, Any] | None = None) -> Column:
        return Column(self.pipeline, self.pipeline.store.add_op(name, inputs, params), dtype)

    def _binary(self, name: str, other: Any, side: str, result: str | None = None) -> Column:
        if isinstance(other, (Column, Value)):
            # A Value (a reduction's result) is broadcast to every partition.
            other_dtype = other.dtype if isinstance(other, Column) else FLOAT
            a, b = (self.node, other.node) if side == "r" else (other.node, self.node)
            dtype = result or (FLOAT if FLOAT in (self.dtype, other_dtype) or name == "div" else self.dtype)
            return self._op(name, [a, b], dtype)
        params: dict[str, Any] = {"scalar": other, "side": side}
        dtype = result or self.dtype
        if isinstance(other, float) and self.dtype != FLOAT:
            # `+ 0.0` and `* 1.0` are identities for float columns only: on an
            # int or bool column they change the dtype, which the parameter
            # keeps the reducer from dropping.
            params["promote"] = FLOAT
            dtype = result or FLOAT
        if name == "div" and result is None:
            dtype = FLOAT
        return self._op(name, [self.node], dtype, params)

    __add__ = _binary_method("add")
    __radd__ = _binary_method("add", "l")
    __sub__ = _binary_method("sub")
    __rsub__ = _binary_method("sub", "l")
    __mul__ = _binary_method("mul")
    __rmul__ = _binary_method("mul", "l")
    __truediv__ = _binary_method("div")
    __lt__ = _binary_method("lt", result=BOOL)
    __gt__ = _binary_method("gt", result=BOOL)
    __and__ = _binary_method("and", result=BOOL)
    __or__ = _binary_method("or", result=BOOL)
    eq = _binary_method("eq", result=BOOL)
    ne = _binary_method("ne", result=BOOL)
    maximum = _binary_method("maximum")
    minimum = _binary_method("minimum")
    concat = _binary_method("concat", result=STR)
    __neg__ = _unary_method("neg")
    __abs__ = _unary_method("abs")
    square = _unary_method("square")
    tanh = _unary_method("tanh", FLOAT)
    log1p = _unary_method("log1p", FLOAT)

    def astype(self, dtype: str) -> Column:
        return self._op("cast", [self.node], dtype, {"dtype": dtype})

    def where(self, cond: Column, other: Column) -> Column:
        return self._op("where", [cond.node, self.node, other.node], self.dtype)

    def sum(self) -> Value:
        return Value(self.pipeline, self.pipeline.store.add_reduction("sum", [self.node]))

    def mean(self) -> Value:
        return Value(self.pipeline, self.pipeline.store.add_reduction("mean", [self.node]))

    def max(self) -> Value:
        return Value(self.pipeline, self.pipeline.store.add_reduction("max", [self.node]))

    def count(self) -> Value:
        return Value(self.pipeline, self.pipeline.store.add_reduction("count", [self.node]))


# --- the lowering -----------------------------------------------------------------------------


def run_stage(program: tuple[tuple[Callable[..., Any], tuple[tuple[str, int], ...]], ...], *inputs: Any) -> Any:
    """One partition of a stage: its members in order; the value is the last member's."""
    results: list[Any] = []
    for fn, refs in program:
        results.append(fn(*[inputs[k] if where == "input" else results[k] for where, k in refs]))
    return results[-1]


def _call_source(generate: Callable[..., pd.DataFrame], partition: int, partitions: int,
                 params: dict[str, Any]) -> pd.DataFrame:
    return generate(partition, partitions, **params)


@dataclass
class Lowered:
    """A Dask task graph and, per requested output, its keys."""

    graph: dict[Any, Any]
    outputs: list[tuple[bool, list[Any]]]  # (partitioned, keys) per requested output

    @property
    def tasks(self) -> int:
        return len(self.graph)

    def keys(self) -> list[list[Any]]:
        return [keys for _, keys in self.outputs]


def _op_function(name: str, params: dict[str, Any], where: str) -> Callable[..., Any]:
    fn = OPS.get(name)
    if fn is None:
        raise UnknownOpError(f"no lowering for op '{name}' ({where})")
    return functools.partial(fn, **params) if params else fn


def lower(store: qc.GraphStore, outputs: list[int], *, partitions: int, name: str = "q") -> Lowered:
    """The task graph that computes `outputs` (node ids of `store`).

    Every node of the store becomes tasks, reachable or not: Dask's
    schedulers skip the ones no output needs. Keys are (f"{name}-{id}", p)
    for partition p of a partitioned node and f"{name}-{id}" for a whole one.
    """
    graph: dict[Any, Any] = {}
    partitioned: list[bool] = []

    def keys_of(node: int) -> list[Any]:
        label = f"{name}-{node}"
        return [(label, p) for p in range(partitions)] if partitioned[node] else [label]

    def input_keys(inputs: list[int], p: int) -> list[Any]:
        return [(f"{name}-{i}", p) if partitioned[i] else f"{name}-{i}" for i in inputs]

    for entry in store.nodes():
        node, kind, inputs = entry["id"], entry["kind"], entry["inputs"]
        label = f"{name}-{node}"
        spread = any(partitioned[i] for i in inputs)
        if entry["kind"] == "source":
            generate = SOURCES.get(entry["name"])
            if generate is None:
                raise UnknownOpError(f"no lowering for source '{entry['name']}' (node {node})")
            for p in range(partitions):
                graph[(label, p)] = (functools.partial(_call_source, generate, p, partitions, entry["params"]),)
            spread = True
        elif entry["kind"] == "op":
            fn = _op_function(entry["name"], entry["params"], f"node {node}")
            for p in range(partitions if spread else 1):
                graph[(label, p) if spread else label] = (fn, *input_keys(inputs, p))
        elif entry["kind"] == "stage":
            program = tuple(
                (_op_function(m["name"], m["params"], f"node {node}, stage member {j}"), tuple(m["inputs"]))
                for j, m in enumerate(entry["members"]))
            fn = functools.partial(run_stage, program)
            for p in range(partitions if spread else 1):
                graph[(label, p) if spread else label] = (fn, *input_keys(inputs, p))
        elif entry["kind"] == "reduction":
            impl = REDUCTIONS.get(entry["name"])
            if impl is None:
                raise UnknownOpError(f"no lowering for reduction '{entry['name']}' (node {node})")
            params = entry["params"]
            if len(inputs) != 1:
                raise UnknownOpError(f"no lowering for reduction '{entry['name']}' of {len(inputs)} inputs (node {node})")
            (source,) = inputs
            parts = []
            for k, key in enumerate(keys_of(source)):
                graph[(f"{label}-partial", k)] = (functools.partial(impl.partial, **params), key)
                parts.append((f"{label}-partial", k))
            graph[label] = (functools.partial(impl.combine, **params), parts)
            spread = False
        elif entry["kind"] == "exchange":
            (source,) = inputs
            split = functools.partial(split_by_hash, key=entry["params"]["key"], partitions=partitions)
            pieces = []
            for k, key in enumerate(keys_of(source)):
                graph[(f"{label}-split", k)] = (split, key)
                pieces.append((f"{label}-split", k))
            for p in range(partitions):
                graph[(label, p)] = (functools.partial(gather_piece, partition=p), pieces)
            spread = True
        elif entry["kind"] == "join":
            fn = functools.partial(join_partitions, **entry["params"])
            for p in range(partitions):
                graph[(label, p)] = (fn, *input_keys(inputs, p))
            spread = True
        elif entry["kind"] == "external":
            fn = functools.partial(run_model, content_hash=entry["descriptor"]["content_hash"], **entry["params"])
            for p in range(partitions):
                graph[(label, p)] = (fn, *input_keys(inputs, p))
            spread = True
        else:
            raise UnknownOpError(f"no lowering for node kind '{kind}' (node {node})")
        partitioned.append(spread)

    return Lowered(graph, [(partitioned[o], keys_of(o)) for o in outputs])


def landed_ids(reduced: qc.GraphStore, requested: list[int]) -> list[int]:
    """The node of `reduced` that computes each requested output of the graph it was reduced from.

    An output lands on a whole node or on the last member of a stage, whose
    value is the stage's value; anything else would be a broken contract.
    """
    node_map, nodes = reduced.node_map(), reduced.nodes()
    ids = []
    for i in requested:
        landing = node_map[i]
        if landing is None:
            raise ValueError(f"requested output {i} was dropped by the reduction")
        new_id, member = landing
        entry = nodes[new_id]
        if member is not None and not (entry["kind"] == "stage" and member == entry["n_members"] - 1):
            raise ValueError(f"requested output {i} landed inside stage {new_id} (member {member})")
        ids.append(new_id)
    return ids


def assemble(lowered: Lowered, results: Any) -> list[Any]:
    """The requested values from a scheduler's results: partitions concatenated
    in order, once per node however often it was requested."""
    values: dict[Any, Any] = {}
    out = []
    for (spread, keys), parts in zip(lowered.outputs, results):
        if keys[0] not in values:
            values[keys[0]] = pd.concat(list(parts)) if spread else parts[0]
        out.append(values[keys[0]])
    return out


def compute(lowered: Lowered, get: Callable[..., Any], **options: Any) -> list[Any]:
    """Runs the graph with a Dask `get` (dask.threaded.get, Client.get, ...)."""
    return assemble(lowered, get(lowered.graph, lowered.keys(), **options))


def run_reduction(store: qc.GraphStore, requested: list[int], *, partitions: int,
                  get: Callable[..., Any] | None = None) -> list[Any]:
    """Lowers and runs `requested` of a store: what a worker does with a reduction it was handed."""
    import dask

    lowered = lower(store, requested, partitions=partitions, name="worker")
    return compute(lowered, get or dask.get)


def run_blob(blob: bytes, landed: list[int], partitions: int) -> list[Any]:
    """A hand-off as a blob and the landed ids of the requested outputs."""
    return run_reduction(qc.GraphStore.deserialize(blob), landed, partitions=partitions)


def run_pickled(pickled: bytes, requested: list[int], partitions: int) -> list[Any]:
    """A hand-off as a pickled reduced store, which keeps its node map, and the original output ids."""
    import pickle

    reduced = pickle.loads(pickled)
    return run_reduction(reduced, landed_ids(reduced, requested), partitions=partitions)


# --- checking ---------------------------------------------------------------------------------


def _same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    # pandas compares -0.0 and 0.0 as equal; the bits tell them apart.
    return bool(np.array_equal(np.signbit(a), np.signbit(b)))


def assert_identical(name: str, expected: Any, got: Any) -> None:
    """Values, dtypes, index and signs of zeros, with pandas' testing helpers."""
    try:
        if isinstance(expected, pd.DataFrame):
            pd.testing.assert_frame_equal(got, expected, check_exact=True)
            for column in expected.columns:
                if expected[column].dtype.kind == "f":
                    assert _same_bits(expected[column].to_numpy(), got[column].to_numpy()), "signed zeros differ"
        elif isinstance(expected, pd.Series):
            pd.testing.assert_series_equal(got, expected, check_exact=True)
            if expected.dtype.kind == "f":
                assert _same_bits(expected.to_numpy(), got.to_numpy()), "signed zeros differ"
        else:
            assert type(got) is type(expected), f"{type(got).__name__} != {type(expected).__name__}"
            assert got == expected or (got != got and expected != expected), f"{got!r} != {expected!r}"
            if isinstance(expected, float):
                assert np.signbit(got) == np.signbit(expected), "signed zeros differ"
    except AssertionError as error:
        raise AssertionError(f"output {name!r} differs: {error}") from None


def assert_all_identical(names: list[str], expected: list[Any], got: list[Any]) -> None:
    assert len(expected) == len(got) == len(names)
    for name, e, g in zip(names, expected, got):
        assert_identical(name, e, g)
