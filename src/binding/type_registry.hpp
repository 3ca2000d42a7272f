// The module's three classes. They are created once, the first time the
// module is executed, and kept for the life of the process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorvel::py {

// Each returns the type (borrowed; it lives for the process), creating it
// on first use, or null with an exception set.
PyTypeObject* graph_store_type();
PyTypeObject* payload_descriptor_type();
PyTypeObject* incremental_reducer_type();

// Creates an immutable heap type from its slot description (base object).
PyObject* create_immutable_type(PyType_Spec* type_description);

}  // namespace quorvel::py
