"""Keys built to share one hash cost what ordinary keys cost.

The store's index once folded key words with a hash in which flipping bit 63
of one word and bit 4 of the next changed nothing, whatever the seed. An int
param that starts one byte past a word boundary of the params' encoding puts
its bits 55 and 60 on exactly those two places, so k such params give 2^k
keys of one hash, and interning them took time quadratic in their count.
The index is keyed now; these tests time such keys against ordinary ones in
the same run (ratios only: the machine's speed cancels out).
"""

import gc
import os
import subprocess
import sys
import time

import pytest

from quorvel_core import GraphStore

BASE = 0x0123456789ABCDEF
FLIP = (1 << 55) | (1 << 60)
PARAMS = 16  # up to 65,536 keys of one old hash


def param_names():
    # Encoding of an entry: name length (1 byte), name, kind (1 byte), 8
    # value bytes. A 7-byte first name and 6-byte names after it start every
    # value at an offset of 1 mod 8.
    return ["a000000"] + [f"b{p:05d}" for p in range(1, PARAMS)]


def colliding_params(i):
    return {name: BASE ^ (FLIP if i >> p & 1 else 0) for p, name in enumerate(param_names())}


def ordinary_params(i):
    # Same shape and size; the values differ in their low bits.
    return {name: BASE + (i if p == 0 else p) for p, name in enumerate(param_names())}


def build(make_params, n):
    store = GraphStore()
    params = [make_params(i) for i in range(n)]
    start = time.perf_counter()
    for p in params:
        store.add_source("x", p)
    elapsed = time.perf_counter() - start
    assert store.node_count() == n  # every key is a node of its own
    return elapsed, store


def assert_linear(rounds, small, large, ordinary_small, ordinary_large):
    """Times colliding and ordinary keys, each small and large (8x the keys),
    interleaved, best of rounds each (the garbage collector paused)."""
    runs = {"small": small, "large": large, "ordinary small": ordinary_small, "ordinary large": ordinary_large}
    best = dict.fromkeys(runs, float("inf"))
    gc.disable()
    try:
        for _ in range(rounds):
            for name, run in runs.items():
                best[name] = min(best[name], run())
    finally:
        gc.enable()
    # Growth is measured against ordinary keys of the same shape in the same
    # run, so that what makes every key dearer on a larger table (the cache,
    # a slower interpreter) cancels out: linear growth is about what ordinary
    # keys show (8x and somewhat more), quadratic growth 8x that. Keys of one
    # old hash cost about what ordinary keys of the same shape cost.
    growth = best["large"] / best["small"]
    ordinary_growth = best["ordinary large"] / best["ordinary small"]
    assert growth <= 2 * ordinary_growth, (growth, ordinary_growth, best)
    assert best["large"] <= 4 * best["ordinary large"], best


def test_params_defeating_the_word_fold_intern_in_linear_time():
    n = 1 << 14
    assert_linear(3, lambda: build(colliding_params, n // 8)[0], lambda: build(colliding_params, n)[0],
                  lambda: build(ordinary_params, n // 8)[0], lambda: build(ordinary_params, n)[0])


def test_blob_of_such_keys_deserializes_in_linear_time():
    n = 1 << 16
    colliding_small = build(colliding_params, n // 8)[1].serialize()
    colliding = build(colliding_params, n)[1].serialize()
    ordinary_small = build(ordinary_params, n // 8)[1].serialize()
    ordinary = build(ordinary_params, n)[1].serialize()
    assert len(colliding) == len(ordinary)

    def load(blob, count):
        start = time.perf_counter()
        store = GraphStore.deserialize(blob)
        elapsed = time.perf_counter() - start
        assert store.node_count() == count
        return elapsed

    assert_linear(5, lambda: load(colliding_small, n // 8), lambda: load(colliding, n),
                  lambda: load(ordinary_small, n // 8), lambda: load(ordinary, n))
    # Interning deduplicates as before: the same keys again are the same nodes.
    again = GraphStore.deserialize(colliding)
    assert again.add_source("x", colliding_params(n - 1)) == n - 1
    assert again.add_source("x", colliding_params(0)) == 0


# Symbol handles come from a keyed hash too, so they differ between processes;
# a reduction compares them only for equality, and its result and report must
# not change. The graph: commutative pairs written both ways (nested, so
# merged classes feed further merges), identity ops in chains, and a fan of
# one commutative op over every ordered pair of inputs, wide enough that the
# rule's matches pass the scheduler's match limit and it gets banned.
REDUCE_SCRIPT = r"""
import sys
from quorvel_core import GraphStore

# Intern a process-dependent number of unrelated symbols first.
warm = GraphStore()
for i in range(int(sys.argv[1])):
    warm.add_source(f"warm{i}")
warm.reduce()

s = GraphStore()
xs = [s.add_source(f"x{i}", {"k": i}) for i in range(36)]
level = xs
for depth in range(4):
    nxt = []
    for i in range(len(level) - 1):
        a, b = level[i], level[i + 1]
        op = ("add", "mul", "maximum", "minimum", "and", "or", "eq", "ne")[(i + depth) % 8]
        ab = s.add_op(op, [a, b])
        ba = s.add_op(op, [b, a])
        z = s.add_op("add", [ab], {"scalar": 0.0, "side": "r" if i % 2 else "l"})
        o = s.add_op("mul", [z], {"scalar": 1.0, "side": "l"})
        nxt.append(s.add_op("sub", [o, ba]))
    level = nxt
fan = [s.add_op("add", [xs[i], xs[j]]) for i in range(36) for j in range(36) if i != j]
top = s.add_op("concat", fan + level)
for maximal in (False, True):
    result, report = s.reduce(maximal_fusion=maximal, outputs=[top, level[0], fan[-1]])
    print(result.serialize().hex())
    print(sorted(report.items()))
    print(result.node_map())
"""


def test_reduction_does_not_depend_on_symbol_handles():
    outputs = []
    for warm, seed in ((0, "0"), (37, "1"), (500, "2")):
        env = dict(os.environ, PYTHONHASHSEED=seed)
        run = subprocess.run([sys.executable, "-c", REDUCE_SCRIPT, str(warm)], capture_output=True, env=env,
                             check=True, timeout=120)
        outputs.append(run.stdout)
    assert b"('canonical_nodes', 0)" not in outputs[0]
    assert outputs[1] == outputs[0]
    assert outputs[2] == outputs[0]
