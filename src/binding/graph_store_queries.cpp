// GraphStore's read-only queries: node_count, outputs, node_map and to_dot.
#include <cstddef>
#include <optional>

#include "binding/convert.hpp"
#include "binding/graph_store_methods.hpp"
#include "binding/graph_store_type.hpp"
#include "binding/interrupts.hpp"
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

namespace {

// None for a dropped node, else (id, member index or None).
PyRef node_map_entry(const NodeMapSlot& slot) {
  if (!slot) return PyRef::new_ref(Py_None);
  const NodeMapEntry entry = *slot;
  PyRef id = from_id(entry.id);
  PyRef member = entry.member ? check(PyLong_FromSize_t(*entry.member)) : PyRef::new_ref(Py_None);
  PyRef pair = check(PyTuple_New(2));
  PyTuple_SET_ITEM(pair.get(), 0, id.release());
  PyTuple_SET_ITEM(pair.get(), 1, member.release());
  return pair;
}

}  // namespace

PyObject* store_node_map(PyObject* self, PyObject*) {
  return entry_point<PyObject*>(nullptr, [&] {
    // A copy taken under the store's lock; the objects are built after.
    const NodeMap map = graph_store_of(self)->node_map();
    PyRef list = check(PyList_New(static_cast<Py_ssize_t>(map.size())));
    for (std::size_t i = 0; i < map.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), node_map_entry(map[i]).release());
    }
    return list.release();
  });
}

PyObject* store_to_dot(PyObject* self, PyObject*) {
  return entry_point<PyObject*>(nullptr, [&] {
    const GraphStore& store = *graph_store_of(self);
    const std::string text = interruptible([&] { return to_dot(store); });
    return from_text(text).release();
  });
}

}  // namespace quorvel::py
