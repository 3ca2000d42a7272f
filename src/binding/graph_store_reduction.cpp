// GraphStore's derived stores: cone, reduce, reduce_incremental and
// reduction_report. Each method converts its arguments, runs one core
// operation (which copies the source store under its lock and builds a new
// store) and builds the Python results once every lock is released. The
// core operation is interruptible: Ctrl-C stops it with nothing changed.
#include <cstddef>
#include <memory>
#include <optional>
#include <utility>

#include "binding/arg_parser.hpp"
#include "binding/convert.hpp"
#include "binding/graph_store_methods.hpp"
#include "binding/graph_store_type.hpp"
#include "binding/interrupts.hpp"
#include "binding/reduction_result.hpp"
#include "binding/store_errors.hpp"
#include "derivation/derived_stores.hpp"
#include "optimizer/engine/saturation_engine.hpp"

namespace quorvel::py {

namespace {

// A fresh engine with the default rule set for every call: nothing carries
// over from one reduction to the next.
DerivedStore reduce_store(const GraphStore& store, const std::optional<NodeIds>& outputs, bool maximal_fusion) {
  const SaturationEngine engine;
  if (!outputs) return interruptible([&] { return reduce_with(store, engine, maximal_fusion); });
  return value_or_raise(interruptible([&] { return reduce_with_outputs(store, *outputs, engine, maximal_fusion); }));
}

constexpr const char* kOutputs[] = {"outputs"};

}  // namespace

PyObject* store_cone(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point<PyObject*>(nullptr, [&] {
    static const Signature sig{"GraphStore.cone()", nullptr, 0, 0, kOutputs, 1, 1};
    PyObject* slots[1];
    parse_fastcall(sig, args, nargs, kwnames, slots);
    const NodeIds outputs = processing("outputs", [&] { return to_id_list(slots[0]); });
    const GraphStore& store = *graph_store_of(self);
    std::unique_ptr<GraphStore> derived = value_or_raise(interruptible([&] { return cone(store, outputs); }));
    return wrap_graph_store(std::move(derived));
  });
}

PyObject* store_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point<PyObject*>(nullptr, [&] {
    static constexpr const char* kNames[] = {"maximal_fusion", "outputs"};
    static const Signature sig{"GraphStore.reduce()", nullptr, 0, 0, kNames, 2, 0};
    PyObject* slots[2];
    parse_fastcall(sig, args, nargs, kwnames, slots);
    const bool maximal_fusion = maximal_fusion_flag(slots[0]);
    const std::optional<NodeIds> outputs = optional_outputs(slots[1]);
    return store_and_report(reduce_store(*graph_store_of(self), outputs, maximal_fusion));
  });
}

PyObject* store_reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point<PyObject*>(nullptr, [&] {
    static const Signature sig{"GraphStore.reduce_incremental()", nullptr, 0, 0, kOutputs, 1, 0};
    PyObject* slots[1];
    parse_fastcall(sig, args, nargs, kwnames, slots);
    const std::optional<NodeIds> outputs = optional_outputs(slots[0]);
    return store_and_report(reduce_store(*graph_store_of(self), outputs, false));
  });
}

PyObject* store_reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point<PyObject*>(nullptr, [&] {
    static const Signature sig{"GraphStore.reduction_report()", nullptr, 0, 0, kOutputs, 1, 0};
    PyObject* slots[1];
    parse_fastcall(sig, args, nargs, kwnames, slots);
    const std::optional<NodeIds> outputs = optional_outputs(slots[0]);
    // The counters alone: the reduced store is never built.
    const GraphStore& store = *graph_store_of(self);
    const SaturationEngine engine;
    const ReductionCounters counters =
        outputs ? value_or_raise(interruptible([&] { return count_reduction_with_outputs(store, *outputs, engine, false); }))
                : interruptible([&] { return count_reduction(store, engine, false); });
    return report_dict(counters).release();
  });
}

}  // namespace quorvel::py
