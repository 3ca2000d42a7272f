// GraphStore's read-only queries: node_count and outputs.
#include "lib/convert.hpp"
#include "lib/graph_store_methods.hpp"
#include "lib/graph_store_type.hpp"

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

}  // namespace quorvel::py
