// GraphStore.mark_output and GraphStore.mark_outputs: naming the nodes a
// store's consumers want, so that serialize() and reduce() without
// outputs= use them.
#include "binding/arg_parser.hpp"
#include "binding/convert.hpp"
#include "binding/graph_store_methods.hpp"
#include "binding/graph_store_type.hpp"
#include "binding/store_errors.hpp"

namespace quorvel::py {

PyObject* store_mark_output(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point<PyObject*>(nullptr, [&] {
    static constexpr const char* kNames[] = {"id"};
    static const Signature sig{"GraphStore.mark_output()", kNames, 1, 1, nullptr, 0, 0};
    PyObject* slots[1];
    parse_fastcall(sig, args, nargs, kwnames, slots);
    const NodeId id = processing("id", [&] { return to_node_id(slots[0]); });
    value_or_raise(graph_store_of(self)->mark_output(id));
    Py_RETURN_NONE;
  });
}

PyObject* store_mark_outputs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point<PyObject*>(nullptr, [&] {
    static constexpr const char* kNames[] = {"ids"};
    static const Signature sig{"GraphStore.mark_outputs()", kNames, 1, 1, nullptr, 0, 0};
    PyObject* slots[1];
    parse_fastcall(sig, args, nargs, kwnames, slots);
    const NodeIds ids = processing("ids", [&] { return to_id_list(slots[0]); });
    // Checked and marked under one lock acquisition: a bad id leaves the
    // marks as they were.
    value_or_raise(graph_store_of(self)->mark_outputs(ids));
    Py_RETURN_NONE;
  });
}

}  // namespace quorvel::py
