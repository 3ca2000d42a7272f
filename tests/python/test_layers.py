"""tools/check_layers.py: includes follow the links the build declares, and
the project's own tree passes."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
TOOL = ROOT / "tools" / "check_layers.py"


def load_tool():
    spec = importlib.util.spec_from_file_location("check_layers", TOOL)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


check_layers = load_tool()

# Three layers: base at the bottom, left and right on it side by side, and
# nested/top above both, as the project's optimizer folders are.
CMAKE = {
    "base/CMakeLists.txt": "add_library(quorvel_base STATIC base.cpp)\n"
                           "target_link_libraries(quorvel_base PUBLIC Threads::Threads)\n",
    "left/CMakeLists.txt": "# the left one\nadd_library(quorvel_left STATIC left.cpp)\n"
                           "target_link_libraries(quorvel_left PUBLIC quorvel_base)\n",
    "right/CMakeLists.txt": "add_library(quorvel_right STATIC right.cpp)\n"
                            "target_link_libraries(quorvel_right\n  PRIVATE\n  quorvel_base)\n",
    "nested/top/CMakeLists.txt": "Python_add_library(quorvel_top MODULE WITH_SOABI top.cpp)\n"
                                 "target_link_libraries(quorvel_top PRIVATE quorvel_left quorvel_right)\n",
}
SOURCES = {
    "base/base.hpp": "#pragma once\n#include <vector>\n",
    "base/base.cpp": '#include "base/base.hpp"\n',
    "left/left.hpp": '#pragma once\n#include "base/base.hpp"\n',
    "left/left.cpp": '#include "left/left.hpp"\n#include "left.hpp"\n',
    "right/right.cpp": '#include "base/base.hpp"\n',
    # Through left: a layer may include what the layers below it link to.
    "nested/top/top.cpp": '#include "left/left.hpp"\n#  include "base/base.hpp"\n',
}


def tree(tmp_path, changes):
    files = {**CMAKE, **SOURCES, **changes}
    for name, text in files.items():
        if text is None:
            continue
        path = tmp_path / "src" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")
    return tmp_path / "src"


def test_a_tree_whose_includes_run_downward_passes(tmp_path):
    assert check_layers.check(tree(tmp_path, {})) == []


@pytest.mark.parametrize("changes, fault", [
    pytest.param({"base/base.cpp": '#include "base/base.hpp"\n#include "left/left.hpp"\n'},
                 'src/base/base.cpp:2: includes "left/left.hpp" of layer left, which layer base does not link to',
                 id="upward"),
    pytest.param({"right/right.cpp": '#include "left/left.hpp"\n'},
                 'src/right/right.cpp:1: includes "left/left.hpp" of layer left, which layer right does not link to',
                 id="sideways"),
    pytest.param({"left/left.cpp": '#include "nested/top/top.cpp"\n'},
                 'src/left/left.cpp:1: includes "nested/top/top.cpp" of layer nested/top, '
                 'which layer left does not link to',
                 id="upward-into-a-nested-layer"),
    pytest.param({"base/CMakeLists.txt": "add_library(quorvel_base STATIC base.cpp)\n"
                                         "target_link_libraries(quorvel_base PUBLIC quorvel_right)\n"},
                 "layer base links to itself through a cycle", id="link-cycle"),
    pytest.param({"left/CMakeLists.txt": "add_library(quorvel_left STATIC left.cpp)\n"
                                         "target_link_libraries(quorvel_left PUBLIC quorvel_bsae)\n"},
                 "src/left/CMakeLists.txt: quorvel_left links to quorvel_bsae, which no layer declares",
                 id="link-to-an-unknown-library"),
    pytest.param({"nested/stray.hpp": "#pragma once\n"}, "src/nested/stray.hpp: lies in no layer",
                 id="file-outside-every-layer"),
    pytest.param({"right/right.cpp": '#include "base/gone.hpp"\n'},
                 'src/right/right.cpp:1: includes "base/gone.hpp", which is no file under src/',
                 id="missing-header"),
    pytest.param({"right/CMakeLists.txt": CMAKE["right/CMakeLists.txt"] + "add_library(quorvel_right2 STATIC x.cpp)\n"},
                 "src/right/CMakeLists.txt: a second library quorvel_right2 in layer right",
                 id="two-libraries-in-one-folder"),
])
def test_a_fault_is_reported(tmp_path, changes, fault):
    assert fault in check_layers.check(tree(tmp_path, changes))


def test_a_commented_out_link_does_not_count(tmp_path):
    src = tree(tmp_path, {"right/CMakeLists.txt": "add_library(quorvel_right STATIC right.cpp)\n"
                                                  "# target_link_libraries(quorvel_right PUBLIC quorvel_base)\n"})
    assert check_layers.check(src) == [
        'src/right/right.cpp:1: includes "base/base.hpp" of layer base, which layer right does not link to']


def test_the_command_line_exits_nonzero_on_a_fault(tmp_path):
    src = tree(tmp_path, {"base/base.cpp": '#include "left/left.hpp"\n'})
    result = subprocess.run([sys.executable, str(TOOL), str(src)], capture_output=True, text=True)
    assert result.returncode == 1
    assert "layer base does not link to" in result.stdout


def test_the_project_tree_runs_one_way():
    result = subprocess.run([sys.executable, str(TOOL)], capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (0, "")
