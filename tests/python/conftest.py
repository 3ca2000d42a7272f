import contextlib

import pytest

import quorvel_core


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
