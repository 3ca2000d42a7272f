// What every reducing method shares, whether it is a GraphStore method or
// IncrementalReducer.finalize: the conversion of its maximal_fusion and
// outputs arguments, and the (GraphStore, report dict) pair it returns.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "binding/py_ref.hpp"
#include "derivation/derived_stores.hpp"
#include "node/node_id.hpp"
#include "optimizer/mod/reduced.hpp"

namespace quorvel::py {

// The keyword-only maximal_fusion flag; absent means False.
bool maximal_fusion_flag(PyObject* slot);

// None or absent means the store's marked outputs.
std::optional<NodeIds> optional_outputs(PyObject* slot);

// The six counters under their report keys.
PyRef report_dict(const ReductionCounters& counters);

// (new GraphStore, report dict), a new reference. Call it with every lock
// released.
PyObject* store_and_report(DerivedStore derived);

}  // namespace quorvel::py
