import importlib.util
import inspect
import weakref

import pytest

import quorvel_core
from quorvel_core import GraphStore, IncrementalReducer, PayloadDescriptor

ALL = ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]


def descriptor():
    return PayloadDescriptor(kind="k", content_hash="h", framework="f", version="1", io_schema="s")


def test_module_contents():
    assert quorvel_core.__all__ == ALL
    assert sorted(name for name in dir(quorvel_core) if not name.startswith("_")) == sorted(ALL)
    assert not hasattr(quorvel_core, "PanicException")
    assert quorvel_core.__doc__ == ""
    assert quorvel_core.version() == "0.0.7"
    assert quorvel_core.version.__doc__ is None
    assert str(inspect.signature(quorvel_core.version)) == "()"


def test_executing_the_module_again_reuses_the_types():
    module_spec = importlib.util.find_spec("quorvel_core")
    again = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(again)
    assert again is not quorvel_core
    assert again.__all__ == ALL and again.__all__ is not quorvel_core.__all__
    for name in ALL[:3]:
        assert getattr(again, name) is getattr(quorvel_core, name)


def test_reload_keeps_one_entry_per_name():
    reloaded = importlib.reload(quorvel_core)
    assert reloaded.__all__ == ALL
    assert reloaded.GraphStore is GraphStore


@pytest.mark.parametrize(
    "cls, signature",
    [
        (GraphStore, "()"),
        (PayloadDescriptor, "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)"),
        (IncrementalReducer, "()"),
    ],
)
def test_types(cls, signature):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__bases__ == (object,)
    assert cls.__text_signature__ == signature
    assert str(inspect.signature(cls)) == signature


def test_class_docstrings():
    assert GraphStore.__doc__ == (
        "Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to\n"
        "share across threads under the GIL and free-threaded 3.14t)."
    )
    assert PayloadDescriptor.__doc__ == (
        "Reproducibility metadata an External node carries (participates in the structural hash)."
    )


# method name -> (text signature, docstring body or None)
GRAPH_STORE_METHODS = {
    "add_source": ("($self, name, params=None)", None),
    "add_op": ("($self, name, inputs, params=None)", None),
    "add_reduction": ("($self, name, inputs, params=None)", None),
    "add_exchange": (
        "($self, inputs, params=None)",
        "Record an `Exchange` boundary (plan M39 \u00a72.1). No `name` \u2014 an Exchange's identity is its\n"
        '`scheme` ParamMap (`params`) + its one logical input; `nodes()[i]["kind"] == "exchange"`.',
    ),
    "add_join": (
        "($self, inputs, params=None)",
        "Record a `Join` boundary (plan M40 \u00a72.1). Two inputs `[left, right]`; identity is its\n"
        '`scheme` ParamMap (`params`) + its ordered inputs; `nodes()[i]["kind"] == "join"`.',
    ),
    "add_external": ("($self, descriptor, inputs, params=None)", None),
    "node_count": ("($self)", None),
    "outputs": ("($self)", "The marked output node ids, in mark order (what an IR evaluator returns, in order)."),
}


@pytest.mark.parametrize("name", sorted(GRAPH_STORE_METHODS))
def test_method_signature_and_docstring(name):
    text_signature, body = GRAPH_STORE_METHODS[name]
    method = getattr(GraphStore, name)
    assert method.__text_signature__ == text_signature
    assert method.__doc__ == body
    assert str(inspect.signature(getattr(GraphStore(), name))) == "(" + text_signature[6:].lstrip(", ")


def test_descriptor_getters_in_field_order():
    getters = [name for name, value in vars(PayloadDescriptor).items() if inspect.isgetsetdescriptor(value)]
    assert getters == ["kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref"]


@pytest.mark.parametrize(
    "make, attribute",
    [(GraphStore, "add_op"), (GraphStore, "anything"), (descriptor, "kind"), (descriptor, "preprocessing_ref")],
)
def test_instances_are_immutable(make, attribute):
    obj = make()
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        setattr(obj, attribute, "x")
    with pytest.raises(AttributeError):
        delattr(obj, attribute)
    with pytest.raises(TypeError):
        weakref.ref(obj)


def test_descriptor_has_no_comparison_hash_or_repr_of_its_own():
    a, b = descriptor(), descriptor()
    assert a == a and a != b
    for slot in ("__eq__", "__hash__", "__repr__"):
        assert getattr(PayloadDescriptor, slot) is getattr(object, slot)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: GraphStore(1), "GraphStore.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: GraphStore(1, 2), "GraphStore.__new__() takes 0 positional arguments but 2 were given"),
        (lambda: GraphStore(x=1), "GraphStore.__new__() got an unexpected keyword argument 'x'"),
        (lambda: quorvel_core.version(1), "version() takes no arguments (1 given)"),
        (lambda: GraphStore().node_count(1), "GraphStore.node_count() takes no arguments (1 given)"),
    ],
)
def test_argument_count_errors(raises, call, message):
    with raises(TypeError, message):
        call()
