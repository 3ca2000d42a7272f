// Conversions between Python objects and the core's values.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>

#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"
#include "node/node_id.hpp"
#include "node/node_inputs.hpp"
#include "node/payload_descriptor.hpp"
#include "param/param_map.hpp"

namespace quorvel::py {

// Raises TypeError "'int' object is not an instance of 'str'" ("'None' is
// not an instance of 'str'" for None).
[[noreturn]] void raise_not_instance(PyObject* object, const char* expected);

// Runs convert(); a Python error it raises gets the note
// "while processing 'PARAMETER'".
template <class Convert>
auto processing(const char* parameter, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PyErrorOccurred&) {
    add_processing_note(parameter);
    throw;
  }
}

// A str (or subclass) as UTF-8 text.
std::string to_text(PyObject* object);
// The same, borrowed from the object (which caches it); valid while the
// object lives.
std::string_view text_view(PyObject* object);

// One node id: an int or an object with __index__; a negative or too large
// value raises OverflowError.
NodeId to_node_id(PyObject* object);

// A non-str sequence of non-negative integers, order and repeats kept.
NodeIds to_id_list(PyObject* object);
// The same, as a node's inputs.
NodeInputs to_node_inputs(PyObject* object);

// None or a dict of str to int/float/bool/str.
ParamMap to_params(PyObject* object);

// A bool, or a NumPy boolean scalar through its truth value.
bool to_bool(PyObject* object);

// A PayloadDescriptor instance or a dict with the descriptor's keys.
PayloadDescriptor to_descriptor(PyObject* object);

// Results.
PyRef from_id(NodeId id);
PyRef from_text(std::string_view text);
PyRef from_params(const ParamMap& params);
PyRef from_id_list(const NodeIds& ids);

}  // namespace quorvel::py
