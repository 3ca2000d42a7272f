// The one argument parser shared by every method and constructor. It sorts
// positional and keyword arguments into parameter slots and reports count
// and keyword errors in the interpreter's wording, with the qualified call
// name ("GraphStore.add_op()").
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>

namespace quorvel::py {

struct Signature {
  const char* call_name;                // "GraphStore.add_op()"
  const char* const* positional;        // positional-or-keyword parameter names
  std::size_t n_positional;
  std::size_t n_required_positional;    // the first n are required
  const char* const* keyword_only;      // keyword-only parameter names
  std::size_t n_keyword_only;
  std::size_t n_required_keyword_only;  // the first n are required
};

// Borrowed references per parameter slot (positional first, then
// keyword-only); null where the argument was not given.
template <std::size_t N>
using ArgSlots = std::array<PyObject*, N>;

// Fills slots (of size n_positional + n_keyword_only) from a vectorcall
// argument array; throws PyErrorOccurred on a count or keyword error.
void parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** slots);

// The same for the classic tuple/dict convention of constructors.
void parse_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// A slot that is absent or None counts as not given.
inline bool given(PyObject* slot) { return slot != nullptr && slot != Py_None; }

}  // namespace quorvel::py
