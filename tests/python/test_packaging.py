"""The source distribution holds exactly the project's sources, and
docs/api.md is what tools/gen_api_doc.py makes of the type stub."""

import ast
import importlib.util
import shutil
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

import quorvel_core

ROOT = Path(__file__).resolve().parents[2]

# What lies around in a working tree after builds and editing.
JUNK = [
    "dist/quorvel_core-0.0.7-cp311-cp311-linux_x86_64.whl",
    "dist/quorvel_core-0.0.7.tar.gz",
    "quorvel_core-0.0.7.tar.gz",
    "build/cp311-cp311-linux_x86_64/CMakeCache.txt",
    ".venv/bin/python",
    "venv/pyvenv.cfg",
    ".idea/workspace.xml",
    ".vscode/settings.json",
    "src/binding/.module.cpp.swp",
    "tests/python/__pycache__/conftest.cpython-311.pyc",
    ".pytest_cache/README.md",
    ".mypy_cache/CACHEDIR.TAG",
    ".hypothesis/examples/x",
    "quorvel_core.egg-info/PKG-INFO",
    "examples/pipeline.dot",
    "examples/pipeline.svg",
]


def source_files():
    """Tracked files plus new files git does not ignore, as they stand."""
    if shutil.which("git") is None:
        pytest.skip("git is not installed")
    result = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                            capture_output=True)
    if result.returncode != 0:
        pytest.skip("not a git checkout")
    return {name for name in result.stdout.decode().split("\0") if name and (ROOT / name).is_file()}


@pytest.mark.parametrize("keep_gitignore", [True, False], ids=["with-gitignore", "without-gitignore"])
def test_sdist_holds_exactly_the_sources(keep_gitignore, tmp_path):
    # Both checks run outside the checkout: its build/ folder of compiled
    # objects would otherwise stand in for the build package.
    probe = subprocess.run([sys.executable, "-c", "import build, scikit_build_core"], cwd=tmp_path,
                           capture_output=True)
    if probe.returncode != 0:
        pytest.skip("build or scikit-build-core is not installed")
    expected = source_files()
    tree = tmp_path / "tree"
    for name in expected | set(JUNK):
        target = tree / name
        target.parent.mkdir(parents=True, exist_ok=True)
        if name in expected:
            shutil.copy2(ROOT / name, target)
        else:
            target.write_text("junk\n")
    if not keep_gitignore:
        # pyproject.toml's own exclusions must keep the junk out alone.
        (tree / ".gitignore").unlink()
        expected.discard(".gitignore")
    out = tmp_path / "out"
    result = subprocess.run([sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", str(out),
                             str(tree)], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    (sdist,) = out.glob("*.tar.gz")
    with tarfile.open(sdist) as archive:
        members = [m.name for m in archive.getmembers() if m.isfile()]
    prefix = "quorvel_core-0.0.7/"
    assert all(name.startswith(prefix) for name in members)
    packed = {name[len(prefix):] for name in members} - {"PKG-INFO"}
    assert sorted(packed - expected) == []
    assert sorted(expected - packed) == []


def test_api_reference_is_current():
    module_spec = importlib.util.spec_from_file_location("gen_api_doc", ROOT / "tools" / "gen_api_doc.py")
    gen_api_doc = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(gen_api_doc)
    expected = gen_api_doc.render(ROOT / "python" / "quorvel_core-stubs" / "__init__.pyi")
    current = (ROOT / "docs" / "api.md").read_text(encoding="utf-8")
    assert current == expected, "docs/api.md is stale: run python3 tools/gen_api_doc.py"


def test_every_class_and_method_of_the_stub_is_documented():
    tree = ast.parse((ROOT / "python" / "quorvel_core-stubs" / "__init__.pyi").read_text(encoding="utf-8"))
    undocumented, seen = [], set()
    for node in ast.walk(tree):
        if isinstance(node, ast.ClassDef):
            members = [(f"{node.name}.{m.name}", m) for m in node.body if isinstance(m, ast.FunctionDef)]
            members.append((node.name, node))
        elif isinstance(node, ast.Module):
            members = [(m.name, m) for m in node.body if isinstance(m, ast.FunctionDef)]
        else:
            continue
        for name, member in members:
            # Overloads: the first form carries the text.
            if name not in seen and not ast.get_docstring(member):
                undocumented.append(name)
            seen.add(name)
    assert undocumented == []
    documented = {name for name in seen if "." in name}
    for cls in (quorvel_core.GraphStore, quorvel_core.PayloadDescriptor, quorvel_core.IncrementalReducer):
        public = {f"{cls.__name__}.{name}" for name in vars(cls) if not name.startswith("_")}
        assert sorted(public - documented) == []
