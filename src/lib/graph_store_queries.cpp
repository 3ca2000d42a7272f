// GraphStore's read-only queries: node_count, outputs and to_dot.
#include "lib/convert.hpp"
#include "lib/graph_store_methods.hpp"
#include "lib/graph_store_type.hpp"
#include "store/dot_render.hpp"

namespace quorvel::py {

PyObject* store_node_count(PyObject* self, PyObject*) {
  return entry_point<PyObject*>(nullptr, [&] { return from_id(graph_store_of(self)->node_count()).release(); });
}

PyObject* store_outputs(PyObject* self, PyObject*) {
  return entry_point<PyObject*>(nullptr, [&] {
    const NodeIds outputs = graph_store_of(self)->outputs();
    return from_id_list(outputs).release();
  });
}

PyObject* store_to_dot(PyObject* self, PyObject*) {
  return entry_point<PyObject*>(nullptr, [&] {
    const std::string text = to_dot(*graph_store_of(self));
    return from_text(text).release();
  });
}

}  // namespace quorvel::py
