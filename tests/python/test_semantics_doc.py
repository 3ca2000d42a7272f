"""docs/semantics.md states what a reduction does; every `pycon` block on it
runs here, in order and in one namespace, so the page cannot drift from the
module."""

import doctest
import re
from pathlib import Path

import pytest

PAGE = Path(__file__).resolve().parents[2] / "docs" / "semantics.md"
BLOCK = re.compile(r"^```pycon\n(.*?)^```$", re.S | re.M)


def blocks():
    return BLOCK.findall(PAGE.read_text(encoding="utf-8"))


def test_the_page_has_examples():
    assert len(blocks()) >= 10


def test_every_example_runs_as_written():
    parser = doctest.DocTestParser()
    # One test per page: the blocks build on each other, like a session.
    text = "\n".join(blocks())
    test = parser.get_doctest(text, {}, PAGE.name, str(PAGE), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    failures = []
    runner.run(test, out=failures.append)
    assert runner.failures == 0, "".join(failures)
    assert runner.tries >= 40


@pytest.mark.parametrize("target", ["README.md", "docs/api.md"])
def test_the_page_is_linked(target):
    text = (PAGE.parents[1] / target).read_text(encoding="utf-8")
    assert "semantics.md" in text
