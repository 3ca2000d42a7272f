"""IR blob: serialize/deserialize a 1,000,000-node store, against pickle of an
equivalent pure-Python structure (a list of tuples), in the same run.

Then the pickles of two derived stores of that graph, which carry their node
map (one entry per node of the graph) beside the blob: the cone of every
node, and a reduction. The baseline is what a caller would do without it:
pickle the store and its `node_map()` list side by side.

Figures are the best of --repeat calls (10; pickle's, which last seconds
and vary little, of at most 5): warm calls, in a process that has read or
written such blobs before, as a long-running program does. The first call
of each, which also maps the memory the process did not have yet, is
printed beside them.

    python bench/bench_blob.py [--nodes N] [--repeat R]
"""

import argparse
import pickle
import random

import quorvel_core as qc
from bench_support import best_of, first_and_best


def build(n: int, seed: int = 11):
    """The same graph as a store and as a list of tuples."""
    rng = random.Random(seed)
    store = qc.GraphStore()
    rows: list[tuple] = []
    names = ["parse", "filter", "scale", "add", "mul", "window"]
    while store.node_count() < n:
        count = store.node_count()
        if count < 10 or rng.random() < 0.05:
            params = {"path": f"/data/{count}", "fmt": "parquet"}
            node_id = store.add_source(f"src{count}", params)
            row = (0, f"src{count}", tuple(sorted(params.items())), ())
        else:
            params = {f"p{j}": rng.choice([rng.randint(0, 9), rng.random(), "fast", True]) for j in range(rng.randint(0, 3))}
            inputs = [rng.randrange(max(0, count - 50), count) for _ in range(rng.randint(1, 3))]
            name = rng.choice(names)
            node_id = store.add_op(name, inputs, params)
            row = (1, name, tuple(sorted(params.items())), tuple(inputs))
        if node_id == len(rows):
            rows.append(row)
    outputs = list(range(n - 10, n))
    return store, (rows, outputs), outputs




def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=10)
    args = parser.parse_args()
    store, plain, outputs = build(args.nodes)

    first_ser, t_ser, blob = first_and_best(args.repeat, lambda: store.serialize(outputs))
    first_de, t_de, restored = first_and_best(args.repeat, lambda: qc.GraphStore.deserialize(blob))
    assert restored.serialize() == blob
    # pickle's calls last seconds and vary little: five of each.
    pickle_repeat = min(args.repeat, 5)
    t_pdump, pickled = best_of(pickle_repeat, lambda: pickle.dumps(plain, protocol=pickle.HIGHEST_PROTOCOL))
    t_pload, unpickled = best_of(pickle_repeat, lambda: pickle.loads(pickled))
    assert unpickled == plain

    mb = len(blob) / 1e6
    pmb = len(pickled) / 1e6
    print(f"store: {store.node_count():,} nodes; IR blob {mb:.1f} MB, pickle {pmb:.1f} MB")
    print(f"{'operation':<28}{'ms':>9}{'MB/s':>9}{'nodes/s':>14}")
    for label, t, size in [
        ("serialize (IR blob)", t_ser, mb),
        ("deserialize (IR blob)", t_de, mb),
        ("pickle.dumps (tuples)", t_pdump, pmb),
        ("pickle.loads (tuples)", t_pload, pmb),
    ]:
        print(f"{label:<28}{t * 1e3:>9.1f}{size / t:>9.0f}{args.nodes / t:>14,.0f}")
    print(f"first call: serialize {mb / first_ser:.0f} MB/s, deserialize {mb / first_de:.0f} MB/s")
    print(f"serialize is {t_pdump / t_ser:.1f}x faster than pickle.dumps; "
          f"deserialize is {t_pload / t_de:.1f}x faster than pickle.loads")

    def verdict(ok: bool) -> str:
        return "met" if ok else "NOT met"

    # Linear in size: the rates on a graph a tenth the size, in the same run.
    small, _, small_outputs = build(args.nodes // 10, seed=12)
    t_ser_small, small_blob = best_of(args.repeat, lambda: small.serialize(small_outputs))
    t_de_small, _ = best_of(args.repeat, lambda: qc.GraphStore.deserialize(small_blob))
    small_mb = len(small_blob) / 1e6
    print(f"targets: serialize {mb / t_ser:.0f} MB/s (>= 1000: {verdict(mb / t_ser >= 1000)}); "
          f"deserialize {mb / t_de:.0f} MB/s (>= 500: {verdict(mb / t_de >= 500)}), "
          f"{t_pload / t_de:.1f}x pickle.loads (>= 5x: {verdict(t_pload / t_de >= 5)})")
    print(f"linearity: at {args.nodes // 10:,} nodes serialize {small_mb / t_ser_small:.0f} MB/s, "
          f"deserialize {small_mb / t_de_small:.0f} MB/s (rate at {args.nodes:,} / rate there: "
          f"{(mb / t_ser) / (small_mb / t_ser_small):.2f}, {(mb / t_de) / (small_mb / t_de_small):.2f})")
    del small, small_blob

    del restored, unpickled, pickled, plain
    derived = {"cone of every node": store.cone(outputs=range(store.node_count())),
               "reduced": store.reduce(outputs=outputs)[0]}
    protocol = pickle.HIGHEST_PROTOCOL
    print(f"\n{'derived store':<20}{'nodes':>10}{'pickle MB':>11}{'dumps ms':>10}{'loads ms':>10}"
          f"{'baseline MB':>13}{'dumps ms':>10}{'loads ms':>10}")
    for label, d in derived.items():
        t_dump, data = best_of(args.repeat, lambda: pickle.dumps(d, protocol))
        t_load, again = best_of(args.repeat, lambda: pickle.loads(data))
        assert again.node_map() == d.node_map()
        del again
        t_bdump, side = best_of(args.repeat, lambda: pickle.dumps((d.serialize(), d.node_map()), protocol))
        t_bload, _ = best_of(args.repeat, lambda: (lambda b, m: (qc.GraphStore.deserialize(b), m))(
            *pickle.loads(side)))
        print(f"{label:<20}{d.node_count():>10,}{len(data) / 1e6:>11.1f}{t_dump * 1e3:>10.1f}{t_load * 1e3:>10.1f}"
              f"{len(side) / 1e6:>13.1f}{t_bdump * 1e3:>10.1f}{t_bload * 1e3:>10.1f}")


if __name__ == "__main__":
    main()
