"""DOT rendering: exact text for the worked cases."""

import quorvel_core as qc


def test_empty_store():
    assert qc.GraphStore().to_dot() == "digraph quorvel {\n}\n"


def test_labels_markers_and_edges():
    s = qc.GraphStore()
    x = s.add_source("x")
    f = s.add_op("f", [x], {"k": 2})
    s.add_join([f, f])
    s.add_op('a\\"b', [x], {"side": "r", "w": 1e21, "z": -0.0})
    marked = qc.GraphStore.deserialize(s.serialize([1, 1]))
    assert marked.to_dot() == (
        "digraph quorvel {\n"
        '  n0 [label="Source x"];\n'
        '  n1 [label="Op f {k=2}", shape=doublecircle];\n'
        '  n2 [label="Join"];\n'
        '  n3 [label="Op a\\\\\\"b {side=\\"r\\", w=1000000000000000000000, z=-0}"];\n'
        "  n0 -> n1;\n"
        "  n1 -> n2;\n"
        "  n1 -> n2;\n"
        "  n0 -> n3;\n"
        "}\n"
    )


def test_external_label_omits_schema_and_preprocessing():
    s = qc.GraphStore()
    x = s.add_source("x")
    s.add_external({"kind": "onnx", "content_hash": "h1", "framework": "ort", "version": "1.2",
                    "io_schema": "S", "preprocessing_ref": "P"}, [x], {"b": True})
    assert '  n1 [label="External onnx:h1 [ort 1.2] {b=true}"];\n' in s.to_dot()
