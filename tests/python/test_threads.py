"""Several Python threads building into one store agree on every id, and the\nthreads stress test runs and catches wrong results."""

import importlib.util
import subprocess
import sys
import threading
from pathlib import Path

import pytest

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


# --- the threads stress test, briefly ------------------------------------------

STRESS = Path(__file__).resolve().parents[1] / "stress" / "threads_stress.py"


def load_stress():
    spec = importlib.util.spec_from_file_location("threads_stress", STRESS)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_a_short_stress_run_passes():
    run = subprocess.run([sys.executable, str(STRESS), "--seconds", "2", "--seed", "7"], capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "0 mismatches" in run.stdout


@pytest.mark.parametrize("tamper", ["record", "id", "marks"])
def test_the_stress_check_finds_a_wrong_result(tamper):
    stress_module = load_stress()
    stress = stress_module.Stress(seconds=1.0, keys=400, seed=3)
    stress.run()
    assert not stress.errors
    assert stress.verify() == []
    if tamper == "record":
        # One recorded reduction with another report than it had.
        i = next(i for i, e in enumerate(stress.records) if e[0] == "reduce" and e[5][0] != "report")
        kind, n, before, after, args, (report, blob, node_map) = stress.records[i]
        stress.records[i] = (kind, n, before, after, args, ([(k, v + 1) for k, v in report], blob, node_map))
    elif tamper == "id":
        # A builder that saw another id for a key.
        ids = stress.builder_ids[0]
        ids[5] = ids[5] + 1
    else:
        # A mark the store does not hold.
        stress.marked.append([stress.store.node_count() + 5])
    assert stress.verify() != []
