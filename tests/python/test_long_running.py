"""A long-running process keeps a bounded resident set: reducing thousands
of graphs whose parameters, stages and descriptors no other call shares, and
dropping every result, leaves nothing behind per call. Runs in a child
process, whose resident set nothing else touches."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

CHILD = textwrap.dedent("""
    import gc
    import quorvel_core as qc

    def rss():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024

    def one_call(k):
        store = qc.GraphStore()
        node = store.add_source("read", {"sql": f"{k:010d}" * 1024})  # a unique 10 KB text
        for i in range(51):  # one stage of 51 members no other call has
            node = store.add_op("step", [node], {"k": k * 51 + i})
        model = qc.PayloadDescriptor(kind="onnx", content_hash=f"sha256:{k:x}", framework="ort", version="1",
                                     io_schema="f32->f32")
        store.mark_output(store.add_external(model, [node], {"batch": k}))
        reduced, _ = store.reduce()
        reduced.reduce()  # the stage itself goes through the engine
        store.reduce_incremental()
        reducer = qc.IncrementalReducer()
        reducer.finalize(store)

    for k in range(300):
        one_call(k)
    gc.collect()
    before = rss()
    for k in range(300, 3300):
        one_call(k)
    gc.collect()
    print(rss() - before)
""")


@pytest.mark.skipif(not Path("/proc/self/status").exists(), reason="needs Linux's /proc")
def test_reducing_graphs_with_unique_content_keeps_the_resident_set_bounded():
    run = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr[-3000:]
    growth = int(run.stdout.split()[-1])
    # 3,000 calls each bring about 21 KB of content no other call has: kept,
    # they would add over 60 MB.
    assert growth < 8 * 1024 * 1024, f"grew by {growth / 2**20:.1f} MB"
