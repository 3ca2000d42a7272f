#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "store/graph_store.hpp"

namespace quorvel::py {

// The store inside a GraphStore instance (or subclass instance); null for
// any other object.
GraphStore* graph_store_of(PyObject* object);

// Wraps a new store in a new GraphStore object.
PyObject* wrap_graph_store(std::unique_ptr<GraphStore> store);

}  // namespace quorvel::py
