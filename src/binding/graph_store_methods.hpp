// The methods of the Python class GraphStore, grouped by concern in the
// graph_store_*.cpp files; the table is in graph_store_methods.cpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorvel::py {

extern PyMethodDef graph_store_methods[];

// Building (graph_store_building.cpp).
PyObject* store_add_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_add_reduction(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_add_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_add_join(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Persistence (graph_store_persistence.cpp).
PyObject* store_serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_deserialize(PyObject* unused, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// __reduce__: pickling and copying go through the IR blob.
PyObject* store_reduce_for_pickle(PyObject* self, PyObject* unused);
// The module-level function __reduce__ names ("quorvel_core._restore_graph_store",
// deserialize under a name pickle can find); created once (borrowed).
PyObject* graph_store_restorer();

// Marking outputs (graph_store_marking.cpp).
PyObject* store_mark_output(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_mark_outputs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Reductions and cones (graph_store_reduction.cpp).
PyObject* store_cone(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Queries (graph_store_queries.cpp).
PyObject* store_node_count(PyObject* self, PyObject* unused);
PyObject* store_outputs(PyObject* self, PyObject* unused);
PyObject* store_node_map(PyObject* self, PyObject* unused);
PyObject* store_to_dot(PyObject* self, PyObject* unused);

// The node view (graph_store_node_view.cpp).
PyObject* store_nodes(PyObject* self, PyObject* unused);

}  // namespace quorvel::py
