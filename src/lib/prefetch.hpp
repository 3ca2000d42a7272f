// Cache warming for a building call's argument objects.
//
// The objects a call reads (the inputs list and its ints, the params dict,
// its entries and values) are usually cold: a large graph is built from
// data made long before. Read one after the other, each costs its own cache
// miss; asked for together first, the misses overlap. These are hints only
// and change no result. On free-threaded builds another thread may resize a
// list or dict meanwhile, so there only the argument objects themselves are
// hinted, never what they point to.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lib/compat.hpp"

namespace quorvel::py {

inline void prefetch_object(const void* object) noexcept { __builtin_prefetch(object); }

// The containers first, then (once their headers are on the way) the blocks
// they keep their items in.
inline void prefetch_containers(PyObject* inputs, PyObject* params) noexcept {
  if (inputs != nullptr) prefetch_object(inputs);
  if (params != nullptr) prefetch_object(params);
#if !QUORVEL_FREE_THREADED
  if (inputs != nullptr && PyList_CheckExact(inputs)) {
    prefetch_object(reinterpret_cast<PyListObject*>(inputs)->ob_item);
  }
  if (params != nullptr && PyDict_CheckExact(params)) {
    const char* keys = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(params)->ma_keys);
    // A small dict's header, index bytes and entries span two cache lines.
    prefetch_object(keys);
    prefetch_object(keys + 64);
    if (reinterpret_cast<PyDictObject*>(params)->ma_values != nullptr) {
      prefetch_object(reinterpret_cast<PyDictObject*>(params)->ma_values);
    }
  }
#endif
}

}  // namespace quorvel::py
