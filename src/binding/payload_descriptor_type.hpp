#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "node/payload_descriptor.hpp"

namespace quorvel::py {

// The record inside a PayloadDescriptor instance (or subclass instance);
// null for any other object.
const PayloadDescriptor* payload_descriptor_record(PyObject* object);

}  // namespace quorvel::py
