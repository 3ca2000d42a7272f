import contextlib
import sys
import sysconfig

import pytest

import quorvel_core

# On a free-threaded interpreter the module must keep the GIL off: it is
# checked after the import, after every test and when the session ends, and
# a GIL found on fails the run.
FREE_THREADED = sysconfig.get_config_var("Py_GIL_DISABLED") == 1
GIL_MESSAGE = "the GIL is enabled on a free-threaded interpreter"
_gil_seen = []


def gil_enabled():
    return FREE_THREADED and sys._is_gil_enabled()


if gil_enabled():
    raise pytest.UsageError(f"{GIL_MESSAGE} after importing quorvel_core")


def pytest_report_header():
    if FREE_THREADED:
        return f"free-threaded interpreter, GIL {'enabled' if sys._is_gil_enabled() else 'disabled'}"
    return None


@pytest.hookimpl(trylast=True)
def pytest_runtest_teardown(item):
    if gil_enabled() and not _gil_seen:
        _gil_seen.append(item.nodeid)
        raise AssertionError(f"{GIL_MESSAGE} (first seen after {item.nodeid})")


def pytest_sessionfinish(session):
    if gil_enabled():
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


def pytest_terminal_summary(terminalreporter):
    if gil_enabled():
        where = f" (first seen after {_gil_seen[0]})" if _gil_seen else ""
        terminalreporter.write_line(f"FAILED: {GIL_MESSAGE}{where}", red=True)


@pytest.fixture
def store():
    return quorvel_core.GraphStore()


@contextlib.contextmanager
def _raises(exc_type, message, note=None):
    """Expects exactly exc_type with exactly this message and note."""
    with pytest.raises(BaseException) as info:
        yield info
    assert type(info.value) is exc_type, repr(info.value)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == ([] if note is None else [note])


@pytest.fixture
def raises():
    return _raises
