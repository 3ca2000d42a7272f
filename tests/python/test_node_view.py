"""The node view (nodes()) and DOT rendering checked by the tool that reads it.

Stages cannot be built from Python; they come from hand-written blobs and,
once the module reduces, from real reductions."""

import collections
import inspect
import math
import shutil
import struct
import subprocess
import sysconfig
import xml.etree.ElementTree as ET

import pytest

import quorvel_core as qc
from blob_bytes import INPUT, MEMBER, blob, source_record, stage_record, text, u32, u64

# --- blobs written by hand ---------------------------------------------------------


def stage_store(*member_tokens):
    """Two sources and one stage over them whose members are the given tokens,
    each member taking the previous one's result (the first: input 0)."""
    members = [(token, [(INPUT, 0)] if j == 0 else [(MEMBER, j - 1), (INPUT, 1)])
               for j, token in enumerate(member_tokens)]
    return qc.GraphStore.deserialize(blob([source_record("x"), source_record("y"), stage_record([0, 1], members)]))


def descriptor(**extra):
    return qc.PayloadDescriptor(kind="onnx", content_hash="sha256:ab", framework="ort", version="1.18",
                                io_schema="f32[n]", **extra)


# --- the shape of every entry -------------------------------------------------------


def test_empty_store():
    assert qc.GraphStore().nodes() == []


def key_orders(value):
    """The key order of every dict inside value, depth first."""
    if isinstance(value, dict):
        return [list(value)] + [order for v in value.values() for order in key_orders(v)]
    if isinstance(value, (list, tuple)):
        return [order for v in value for order in key_orders(v)]
    return []


def exact(actual, expected):
    """Equal, with the keys of every dict, nested ones included, in the expected order."""
    assert actual == expected
    assert key_orders(actual) == key_orders(expected)


@pytest.mark.parametrize(
    "build, expected",
    [
        (lambda s, x: s.add_op("scale", [x, x], {"k": 2}),
         {"inputs": [0, 0], "kind": "op", "name": "scale", "params": {"k": 2}}),
        (lambda s, x: s.add_reduction("sum", [x], {"axis": 0}),
         {"inputs": [0], "kind": "reduction", "name": "sum", "params": {"axis": 0}}),
        (lambda s, x: s.add_exchange([x], {"scheme": "hash"}),
         {"inputs": [0], "kind": "exchange", "name": "", "params": {"scheme": "hash"}}),
        (lambda s, x: s.add_join([x, x]),
         {"inputs": [0, 0], "kind": "join", "name": "", "params": {}}),
    ],
    ids=["op", "reduction", "exchange", "join"],
)
def test_plain_entries(store, build, expected):
    x = store.add_source("x", {"path": "/p"})
    node = build(store, x)
    source, entry = store.nodes()
    exact(source, {"id": 0, "output": False, "inputs": [], "kind": "source", "name": "x", "params": {"path": "/p"}})
    exact(entry, {"id": node, "output": False, **expected})


@pytest.mark.parametrize(
    "given, ref",
    [
        (descriptor(), None),
        (descriptor(preprocessing_ref="tok:v2"), "tok:v2"),
        (descriptor(preprocessing_ref=""), ""),
        ({"kind": "onnx", "content_hash": "sha256:ab", "framework": "ort", "version": "1.18",
          "io_schema": "f32[n]", "preprocessing_ref": None}, None),
    ],
    ids=["absent", "present", "empty", "dict"],
)
def test_external_entries(store, given, ref):
    x = store.add_source("x")
    store.add_external(given, [x], {"batch": 8})
    entry = store.nodes()[1]
    exact(entry, {"id": 1, "output": False, "inputs": [0], "kind": "external", "name": "",
                  "params": {"batch": 8},
                  "descriptor": {"kind": "onnx", "content_hash": "sha256:ab", "framework": "ort",
                                 "version": "1.18", "io_schema": "f32[n]", "preprocessing_ref": ref}})


def test_stage_entry_from_a_blob():
    s = qc.GraphStore.deserialize(blob(
        [source_record("x"), source_record("y"),
         stage_record([0, 1], [("op|f", [(INPUT, 0)]),
                               ("op|g|k=i2", [(MEMBER, 0), (INPUT, 1)]),
                               ("red|sum", [(MEMBER, 1), (MEMBER, 0), (INPUT, 7)])])],
        outputs=[2, 0]))
    x, y, stage = s.nodes()
    assert x["output"] and not y["output"] and stage["output"]
    exact(stage, {
        "id": 2, "output": True, "inputs": [0, 1], "kind": "stage", "name": "", "params": {}, "n_members": 3,
        "members": [
            {"kind": "op", "name": "f", "params": {}, "inputs": [("input", 0)]},
            {"kind": "op", "name": "g", "params": {"k": 2}, "inputs": [("member", 0), ("input", 1)]},
            # an input index is not checked against the stage's inputs
            {"kind": "red", "name": "sum", "params": {}, "inputs": [("member", 1), ("member", 0), ("input", 7)]},
        ],
    })


@pytest.mark.parametrize(
    "token, name, params",
    [
        ("op|x|", "x", {}),
        ("op|a%7Cb%25|k%3Dx=sx%3By%7C", "a|b%", {"k=x": "x;y|"}),
        ("red|r|b=i2;a=f3ff0000000000000", "r", {"a": 1.0, "b": 2}),  # sorted by name
        ("op|v|f=f+3FF0000000000000;i=i+5;n=i-9223372036854775808;t=btrue;u=bfalse;z=s",
         "v", {"f": 1.0, "i": 5, "n": -2**63, "t": True, "u": False, "z": ""}),
        ("op|\u00e9t\u00e9|s=s\u2192", "\u00e9t\u00e9", {"s": "\u2192"}),
    ],
)
def test_member_tokens_are_parsed_back(token, name, params):
    member = stage_store(token).nodes()[2]["members"][0]
    exact(member["params"], params)
    assert (member["name"], [type(v) for v in member["params"].values()]) == (name, [type(v) for v in params.values()])


def test_member_float_bits_are_kept():
    params = stage_store("op|v|n=f7ff8000000000001;z=f8000000000000000").nodes()[2]["members"][0]["params"]
    assert math.isnan(params["n"]) and struct.pack("<d", params["n"]) == u64(0x7FF8000000000001)
    assert struct.pack("<d", params["z"]) == u64(0x8000000000000000)


def test_param_values_keep_their_types(store):
    store.add_source("s", {"s": "x|y%", "i": -5, "f": 1.0, "b": True, "big": 2**63, "nan": float("nan"), "z": -0.0})
    params = store.nodes()[0]["params"]
    assert list(params) == ["b", "big", "f", "i", "nan", "s", "z"]
    assert [type(v) for v in params.values()] == [bool, float, float, int, float, str, float]
    assert params["b"] is True and params["big"] == 2.0**63 and params["i"] == -5 and params["s"] == "x|y%"
    assert math.isnan(params["nan"]) and math.copysign(1.0, params["z"]) == -1.0


def test_every_node_or_some_nodes_marked():
    s = qc.GraphStore()
    ids = [s.add_source(f"s{i}") for i in range(3000)]
    every = qc.GraphStore.deserialize(s.serialize(ids[::-1]))
    assert all(entry["output"] for entry in every.nodes())
    some = qc.GraphStore.deserialize(s.serialize([2999, 0, 1500, 0]))
    assert [e["id"] for e in some.nodes() if e["output"]] == [0, 1500, 2999]


def test_recurring_and_distinct_texts_in_a_large_store(store):
    # More distinct texts than a call caches, long and non-ASCII ones, and
    # texts that recur as names, parameter names and values: every entry
    # still carries its own.
    expected = []
    for i in range(6000):
        name = ["op", f"n{i}", "\u00fcber-" * (i % 20), "x" * 70 + str(i % 3)][i % 4]
        params = {f"k{i % 7}": f"v{i % 11}", name: name, "op": i}
        node = store.add_op(name, [i - 1] if i else [], params) if i else store.add_source(name, params)
        assert node == i
        expected.append({"id": i, "output": False, "inputs": [i - 1] if i else [], "kind": "op" if i else "source",
                         "name": name, "params": dict(sorted(params.items(), key=lambda kv: kv[0].encode()))})
    view = store.nodes()
    assert view == expected
    assert [list(e["params"]) for e in view] == [list(e["params"]) for e in expected]


def test_ids_beyond_the_small_ints(store):
    x = store.add_source("x")
    for i in range(1, 600):
        store.add_op("f", [i - 1, x, i - 1])
    view = store.nodes()
    assert [e["id"] for e in view] == list(range(600))
    assert all(e["inputs"] == [e["id"] - 1, 0, e["id"] - 1] for e in view[1:])


def test_every_call_returns_new_objects():
    s = stage_store("op|f|k=i1")
    first = s.nodes()
    first[0]["extra"] = 1
    del first[0]["id"]
    first[0]["params"]["p"] = 1
    first[2]["params"]["p"] = 1
    first[2]["members"][0]["params"]["k"] = 5
    first[2]["inputs"].append(9)
    first.append(None)
    again = s.nodes()
    assert again == stage_store("op|f|k=i1").nodes()
    exact(again[0], {"id": 0, "output": False, "inputs": [], "kind": "source", "name": "x", "params": {}})
    assert again[2]["params"] == {} and again[2]["members"][0]["params"] == {"k": 1} and len(again) == 3


# --- a member token that does not parse -------------------------------------------


@pytest.mark.parametrize(
    "token, quoted",
    [
        ("src|x", '"src|x"'),
        ("op", '"op"'),
        ("", '""'),
        ("op|x|k", '"op|x|k"'),
        ("op|x|a=i1;;b=i2", '"op|x|a=i1;;b=i2"'),
        ("op|x|k=q1", '"op|x|k=q1"'),
        ("op|x|k=i9223372036854775808", '"op|x|k=i9223372036854775808"'),
        ("op|x|k=f10000000000000000", '"op|x|k=f10000000000000000"'),
        ('say "hi" \\ now\\', '"say \\"hi\\" \\\\ now\\\\"'),
        ("tab\there\r\n\x00\x1b\x7f", '"tab\\there\\r\\n\\0\\u{1b}\\u{7f}"'),
        ("e\u0301 \u00fc \u2192 \u200b\u00a0", '"e\\u{301} \u00fc \u2192 \\u{200b}\\u{a0}"'),
    ],
)
def test_unparseable_member_token(raises, token, quoted):
    with raises(ValueError, "unparseable stage member token " + quoted):
        stage_store("op|fine", token).nodes()


def test_first_unparseable_token_is_reported_and_nothing_is_kept(raises):
    s = qc.GraphStore.deserialize(blob([
        source_record("x"),
        stage_record([0], [("op|ok", [(INPUT, 0)])]),
        stage_record([1], [("op|ok", [(INPUT, 0)]), ("bad-1", [(MEMBER, 0)])]),
        stage_record([2], [("bad-2", [(INPUT, 0)])]),
    ]))
    for _ in range(2):  # the failure leaves the store as it was
        with raises(ValueError, 'unparseable stage member token "bad-1"'):
            s.nodes()
    assert s.node_count() == 4 and "Stage[2 members]" in s.to_dot()


# --- views of derived and rebuilt stores ----------------------------------------------


def every_kind_store():
    s = qc.GraphStore.deserialize(blob([source_record("a"), source_record("b"),
                                        stage_record([0, 1], [("op|add|side=sr", [(INPUT, 0), (INPUT, 1)]),
                                                              ("red|sum", [(MEMBER, 0)])])]))
    a, b, stage = 0, 1, 2
    op = s.add_op("mul", [stage, a], {"scalar": 0.5, "name": 'q"\\'})
    red = s.add_reduction("sum", [op, op], {"axis": 0})
    exch = s.add_exchange([red], {"scheme": "hash"})
    join = s.add_join([exch, b], {"how": "inner"})
    s.add_external(descriptor(preprocessing_ref="p"), [join])
    s.add_external(descriptor(), [join], {"flag": True})
    return s


@pytest.mark.parametrize("outputs", [None, [], [7, 2, 0]])
def test_rebuilt_store_has_the_same_view(outputs):
    s = every_kind_store()
    if outputs is not None:
        s = qc.GraphStore.deserialize(s.serialize(outputs))
    again = qc.GraphStore.deserialize(s.serialize())
    assert again.nodes() == s.nodes()
    assert [e["kind"] for e in s.nodes()] == ["source", "source", "stage", "op", "reduction", "exchange", "join",
                                               "external", "external"]
    assert [e["id"] for e in s.nodes() if e["output"]] == sorted(outputs or [])


needs_reduce = pytest.mark.skipif(not hasattr(qc.GraphStore, "reduce"), reason="the module does not reduce yet")


@needs_reduce
def test_stage_from_a_real_reduction(store):
    x = store.add_source("x")
    chain = [store.add_op("parse", [x], {"schema": "v3"})]
    chain.append(store.add_op("scale", [chain[-1]], {"k": 2}))
    chain.append(store.add_op("cast", [chain[-1]], {"to": "f32"}))
    total = store.add_reduction("sum", [chain[-1]], {"axis": 0})
    store.add_op("unused", [x])
    reduced, _ = store.reduce(outputs=[total])
    view = reduced.nodes()
    stages = [e for e in view if e["kind"] == "stage"]
    assert len(stages) == 1
    stage = stages[0]
    assert stage["params"] == {} and stage["name"] == "" and stage["n_members"] == len(stage["members"]) == 3
    assert stage["members"][0]["inputs"][0] == ("input", 0)
    assert [(m["kind"], m["name"], m["params"]) for m in stage["members"]] == [
        ("op", "parse", {"schema": "v3"}), ("op", "scale", {"k": 2}), ("op", "cast", {"to": "f32"})]
    assert [e["id"] for e in view if e["output"]] == reduced.outputs()
    # The node map and the view agree on where each op landed.
    node_map = reduced.node_map()
    for old in chain:
        new, member = node_map[old]
        assert view[new]["members"][member]["name"] == store.nodes()[old]["name"]
    assert qc.GraphStore.deserialize(reduced.serialize()).nodes() == view


def test_docstring_and_signature():
    assert qc.GraphStore.nodes.__doc__ == (
        "Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR and\n"
        "`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n"
        "(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a\n"
        "`descriptor` dict for external nodes and `n_members` for stage nodes."
    )
    assert qc.GraphStore.nodes.__text_signature__ == "($self)"
    assert str(inspect.signature(qc.GraphStore().nodes)) == "()"
    with pytest.raises(TypeError):
        qc.GraphStore().nodes(1)


# --- DOT read by Graphviz ---------------------------------------------------------------

# A pipeline of every node kind whose labels hold quotes, backslashes,
# Graphviz's own escape letters and non-ASCII text, with the label each
# node must show.
def picture_store():
    s = qc.GraphStore.deserialize(blob([
        source_record('ev\u00e9nts "raw" \\ p\\N'),
        source_record("\u7528\u6237"),
        stage_record([0, 1], [("op|f", [(INPUT, 0)]), ("op|g", [(MEMBER, 0), (INPUT, 1)])]),
    ]))
    op = s.add_op('a\\"b\\', [2, 0], {"side": 'r "q" \\n', "w": 0.5})
    red = s.add_reduction("\u03a3", [op, op], {"axis": 0})
    exch = s.add_exchange([red], {"scheme": "h\u00e4sh"})
    join = s.add_join([exch, 1])
    ext = s.add_external({"kind": "onnx", "content_hash": 'h"1', "framework": "ort\\", "version": "1.2",
                          "io_schema": "S", "preprocessing_ref": "P"}, [join], {"b": True})
    ext2 = s.add_external(descriptor(), [ext])
    marked = qc.GraphStore.deserialize(s.serialize([ext2, op]))
    labels = [
        'Source ev\u00e9nts "raw" \\ p\\N',
        "Source \u7528\u6237",
        "Stage[2 members]",
        'Op a\\"b\\ {side="r \\"q\\" \\\\n", w=0.5}',
        "Reduction \u03a3 {axis=0}",
        'Exchange {scheme="h\u00e4sh"}',
        "Join",
        'External onnx:h"1 [ort\\ 1.2] {b=true}',
        "External onnx:sha256:ab [ort 1.18]",
    ]
    return marked, labels


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz (dot) is not installed")
def test_graphviz_reads_the_dot_of_every_node_kind():
    store, labels = picture_store()
    run = subprocess.run(["dot", "-Tsvg"], input=store.to_dot().encode("utf-8"), capture_output=True, timeout=60)
    assert run.returncode == 0, run.stderr.decode(errors="replace")
    svg = ET.fromstring(run.stdout)
    ns = {"svg": "http://www.w3.org/2000/svg"}
    groups = svg.findall(".//svg:g", ns)
    nodes = {g.find("svg:title", ns).text: g for g in groups if g.get("class") == "node"}
    edges = [g.find("svg:title", ns).text for g in groups if g.get("class") == "edge"]
    view = store.nodes()
    assert sorted(nodes) == sorted(f"n{e['id']}" for e in view)
    assert collections.Counter(edges) == collections.Counter(f"n{k}->n{e['id']}" for e in view for k in e["inputs"])
    for entry, label in zip(view, labels):
        group = nodes[f"n{entry['id']}"]
        shown = "\n".join(t.text or "" for t in group.findall("svg:text", ns)).replace("\u00a0", " ")
        assert shown == label
        assert len(group.findall("svg:ellipse", ns)) == (2 if entry["output"] else 1)


def test_every_list_and_dict_a_caller_can_change_is_tracked_by_the_collector():
    # The view is built hidden from the cyclic collector and shown to it at
    # the end: a cycle a caller makes through any of its containers must
    # still be collectable.
    import gc
    import weakref

    s = qc.GraphStore.deserialize(blob(
        [source_record("x"), source_record("y"),
         stage_record([0, 1], [("op|f", [(INPUT, 0)]), ("op|g|k=i2", [(MEMBER, 0), (INPUT, 1)])])],
        outputs=[2]))
    view = s.nodes()
    stage = view[2]
    containers = [view, *view, *(e["inputs"] for e in view), stage["members"], *stage["members"],
                  *(m["inputs"] for m in stage["members"])]
    assert all(gc.is_tracked(c) for c in containers)

    class Marker:
        pass

    marker = Marker()
    alive = weakref.ref(marker)
    stage["members"][1]["inputs"].append([stage, marker])  # a cycle through the view
    del view, stage, containers, marker
    gc.collect()
    assert alive() is None


@pytest.mark.skipif(sysconfig.get_config_var("Py_GIL_DISABLED") != 1,
                    reason="a generational collector's young collections skip the hidden view")
def test_a_large_view_runs_no_collection_while_it_is_built():
    # A collection that allocations make due waits for the interpreter's
    # next check, and PyErr_CheckSignals runs it too: polling all signals
    # every few thousand nodes ran one collection per poll, and on a
    # free-threaded interpreter each walks the whole heap. At most the one
    # made due runs, once the call has returned.
    import gc

    s = qc.GraphStore()
    last = s.add_source("x")
    for i in range(100_000):
        last = s.add_op("f", [last], {"i": i})
    started = []

    def count(phase, info):
        if phase == "start":
            started.append(info["generation"])

    assert gc.isenabled()
    gc.collect()
    gc.callbacks.append(count)
    try:
        view = s.nodes()
    finally:
        gc.callbacks.remove(count)
    assert len(view) == 100_001 and view[-1]["params"] == {"i": 99_999}
    assert len(started) <= 1
