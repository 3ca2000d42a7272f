"""The reference lowering onto Dask (examples/dask_lowering.py and the script
examples/dask_pipeline.py): a reduced graph computes exactly what the graph it
came from computes, on the threaded scheduler and on a 2-worker LocalCluster,
and after a hand-off to a worker process."""

import importlib.util
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
MISSING = [name for name in ("pandas", "dask", "distributed") if importlib.util.find_spec(name) is None]
pytestmark = pytest.mark.skipif(bool(MISSING), reason=f"needs {', '.join(MISSING)} (the test extra)")

if not MISSING:
    import dask
    import numpy as np
    import pandas as pd

    sys.path.insert(0, str(EXAMPLES))
    import dask_lowering as dl
    import dask_pipeline

    import quorvel_core as qc


def run_script(*args, timeout=240):
    """The script in a session of its own, so that a timeout ends its cluster's processes too."""
    process = subprocess.Popen([sys.executable, str(EXAMPLES / "dask_pipeline.py"), *args],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, err = process.communicate()
        pytest.fail(f"the example did not finish in {timeout} s:\n{out}\n{err}")
    assert process.returncode == 0, out + err
    return out


def test_the_example_runs_on_both_schedulers_and_hands_off():
    out = run_script("--features", "24", "--partitions", "2", "--rows", "300", "--scheduler", "both",
                     "--timeout", "120")
    lines = out.splitlines()
    assert [line.split()[:2] for line in lines if line.startswith(("threads ", "cluster "))] == [
        ["threads", "unreduced"], ["threads", "reduced"], ["cluster", "unreduced"], ["cluster", "reduced"]]
    assert any(line.startswith("hand-off to a worker process") and line.endswith("identical") for line in lines)
    assert lines[-1].startswith("all ") and "requested outputs identical" in lines[-1]


def small():
    pipeline, named = dask_pipeline.build(features=20, rows=50, keys=40)
    return pipeline.store, list(named), list(named.values())


@pytest.mark.parametrize("maximal_fusion", [False, True])
def test_reduced_outputs_equal_unreduced_outputs(maximal_fusion):
    store, names, requested = small()
    expected = dl.compute(dl.lower(store, requested, partitions=3), dask.get)
    reduced, report = store.reduce(outputs=requested, maximal_fusion=maximal_fusion)
    assert report["reduced_nodes"] < store.node_count() // 2
    got = dl.compute(dl.lower(reduced, dl.landed_ids(reduced, requested), partitions=3), dask.get)
    dl.assert_all_identical(names, expected, got)


def test_the_pipeline_holds_the_redundancy_it_claims():
    store, names, requested = small()
    reduced, _ = store.reduce(outputs=requested)
    landed = dict(zip(names, dl.landed_ids(reduced, requested)))
    # Re-derived features and repeated outputs land together; swapped strings do not.
    assert landed["feature_0"] == landed["feature_16"]
    assert landed["region_score"] == landed["region_score_again"]
    assert landed["label"] != landed["label_swapped"]
    # Outputs requested under several names, and distinct ones that merge.
    assert len(reduced.outputs()) < len(set(requested)) < len(requested)


def test_the_hand_off_functions_rebuild_the_reduction():
    store, names, requested = small()
    reduced, _ = store.reduce(outputs=requested)
    landed = dl.landed_ids(reduced, requested)
    expected = dl.compute(dl.lower(reduced, landed, partitions=2), dask.get)
    import pickle

    dl.assert_all_identical(names, expected, dl.run_blob(reduced.serialize(), landed, 2))
    dl.assert_all_identical(names, expected, dl.run_pickled(pickle.dumps(reduced), requested, 2))


def test_an_unknown_op_is_named_with_its_node():
    pipeline = dl.Pipeline()
    x = pipeline.source("events", rows=10, seed=1, keys=5)["x"]
    odd = pipeline.store.add_op("erf", [x.node])
    with pytest.raises(dl.UnknownOpError, match=rf"^no lowering for op 'erf' \(node {odd}\)$"):
        dl.lower(pipeline.store, [odd], partitions=2)
    reduced, _ = pipeline.store.reduce(outputs=[odd])
    with pytest.raises(dl.UnknownOpError, match=r"^no lowering for op 'erf' \(node 1, stage member 1\)$"):
        dl.lower(reduced, dl.landed_ids(reduced, [odd]), partitions=2)


@pytest.mark.parametrize("build, message", [
    (lambda s: s.add_source("clicks"), "no lowering for source 'clicks' (node 0)"),
    (lambda s: s.add_reduction("median", [s.add_source("events", {"rows": 1, "seed": 1, "keys": 1})]),
     "no lowering for reduction 'median' (node 1)"),
])
def test_unknown_sources_and_reductions_are_named(build, message):
    store = qc.GraphStore()
    node = build(store)
    with pytest.raises(dl.UnknownOpError) as info:
        dl.lower(store, [node], partitions=1)
    assert str(info.value) == message


@pytest.mark.parametrize("expected, got", [
    (pd.Series([0.0, 1.0]), pd.Series([-0.0, 1.0])),
    (pd.Series([1, 2]), pd.Series([1.0, 2.0])),
    (pd.DataFrame({"a": [0.0]}), pd.DataFrame({"a": [-0.0]})),
    (np.float64(0.0), np.float64(-0.0)),
    (np.int64(3), np.float64(3.0)),
    (np.float64(1.0), np.float64(1.0 + 2 ** -52)),
])
def test_the_check_sees_signed_zeros_dtypes_and_last_bits(expected, got):
    with pytest.raises(AssertionError, match="output 'v' differs"):
        dl.assert_identical("v", expected, got)
    dl.assert_identical("v", expected, expected)
