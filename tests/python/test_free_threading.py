"""On a free-threaded interpreter the module keeps the GIL off by itself, and
the suite's own check fails a run in which the GIL is on."""

import os
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(sysconfig.get_config_var("Py_GIL_DISABLED") != 1,
                                reason="needs a free-threaded interpreter")

TESTS = Path(__file__).resolve().parent


def environment(**changes):
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    env.update(changes)
    return env


def test_importing_and_using_the_module_keeps_the_gil_off():
    # No -X gil=0 here: the interpreter re-enables the GIL (with a
    # RuntimeWarning) for a module that does not declare it needs none.
    code = textwrap.dedent("""
        import pickle, sys, threading
        import quorvel_core as qc

        s = qc.GraphStore()
        def work():
            x = s.add_source("x")
            y = s.add_op("add", [x, x])
            s.reduce(outputs=[y])
            pickle.loads(pickle.dumps(s)).to_dot()
            r = qc.IncrementalReducer()
            r.step(s)
            r.finalize(s, outputs=[y])
        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(sys._is_gil_enabled())
    """)
    run = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", code], capture_output=True,
                         text=True, env=environment(), timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "False"


def test_the_suite_fails_when_the_gil_is_on(tmp_path):
    # PYTHON_GIL=1 forces the GIL on: the suite's check must fail the run
    # although every test passes.
    (tmp_path / "conftest.py").write_text((TESTS / "conftest.py").read_text())
    (tmp_path / "test_probe.py").write_text("def test_nothing():\n    pass\n")
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(tmp_path)],
                         capture_output=True, text=True, env=environment(PYTHON_GIL="1"), cwd=tmp_path, timeout=120)
    assert run.returncode != 0, run.stdout
    assert "the GIL is enabled on a free-threaded interpreter" in run.stdout + run.stderr
