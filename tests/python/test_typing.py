"""The type stubs against real code: a user's script must pass `mypy
--strict`, and every call the runtime rejects in tests/typing/wrong_calls.py
must be reported, on its own line and nowhere else."""

import importlib.util
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

TYPING_DIR = Path(__file__).resolve().parent.parent / "typing"
STUB = Path(__file__).resolve().parents[2] / "python" / "quorvel_core-stubs" / "__init__.pyi"
ERROR_LINE = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: ")

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def run_mypy(path, tmp_path):
    # The stub of this checkout, ahead of any installed one (an editable
    # install puts none where mypy looks).
    stubs = tmp_path / "stubs" / "quorvel_core"
    stubs.mkdir(parents=True)
    shutil.copy(STUB, stubs / "__init__.pyi")
    env = dict(os.environ, MYPYPATH=str(stubs.parent))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--no-color-output",
         "--cache-dir", str(tmp_path / "mypy-cache"), str(path)],
        capture_output=True, text=True, cwd=tmp_path, env=env, timeout=300,
    )
    # 0: clean, 1: errors found; anything else is mypy failing to run.
    assert result.returncode in (0, 1), result.stdout + result.stderr
    return result


# Scripts that must pass, and scripts whose lines marked "# wrong" must each
# be reported (with at least this many marked lines).
CLEAN_SCRIPTS = ["user_pipeline.py", "views.py"]
WRONG_SCRIPTS = {"wrong_calls.py": 20, "wrong_keys.py": 8}


@pytest.mark.parametrize("script", CLEAN_SCRIPTS)
def test_user_script_passes_strict_checking(script, tmp_path):
    result = run_mypy(TYPING_DIR / script, tmp_path)
    assert result.returncode == 0, result.stdout


@pytest.mark.parametrize("script, at_least", WRONG_SCRIPTS.items())
def test_each_wrong_call_is_reported(script, at_least, tmp_path):
    path = TYPING_DIR / script
    marked = {n for n, line in enumerate(path.read_text().splitlines(), 1) if line.endswith("# wrong")}
    assert len(marked) >= at_least
    result = run_mypy(path, tmp_path)
    reported = {int(m["line"]) for m in map(ERROR_LINE.match, result.stdout.splitlines()) if m}
    assert sorted(marked - reported) == [], "wrong calls that type-check:\n" + result.stdout
    assert sorted(reported - marked) == [], "unexpected errors:\n" + result.stdout


@pytest.mark.parametrize("script", CLEAN_SCRIPTS + list(WRONG_SCRIPTS))
def test_typing_scripts_run(script, tmp_path):
    # The user's script works, and every marked wrong call raises at run time.
    result = subprocess.run([sys.executable, str(TYPING_DIR / script)], capture_output=True, text=True,
                            cwd=tmp_path, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
