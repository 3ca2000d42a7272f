"""Several Python threads building into one store agree on every id."""

import threading

import quorvel_core as qc


def test_threads_interning_overlapping_keys_get_one_id_per_key():
    store = qc.GraphStore()
    root = store.add_source("root")
    threads, results = 8, {}
    barrier = threading.Barrier(threads)

    def work(t):
        barrier.wait()
        ids = []
        for i in range(2000):
            k = (i * 7 + t) % 500  # every key is built by several threads
            ids.append((k, store.add_op(f"op{k % 13}", [root] * (1 + k % 3), {"k": k, "w": k / 4})))
        results[t] = ids

    workers = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    seen = {}
    for ids in results.values():
        for k, node_id in ids:
            assert seen.setdefault(k, node_id) == node_id
    assert store.node_count() == 1 + len(seen) == 501
    assert sorted(seen.values()) == list(range(1, 501))
