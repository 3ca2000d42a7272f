#include "binding/reduction_result.hpp"

#include <cstddef>
#include <utility>

#include "binding/arg_parser.hpp"
#include "binding/convert.hpp"
#include "binding/graph_store_type.hpp"

namespace quorvel::py {

bool maximal_fusion_flag(PyObject* slot) {
  // The default is False, not None: an explicit None is refused like any
  // other non-bool.
  return slot != nullptr && processing("maximal_fusion", [&] { return to_bool(slot); });
}

std::optional<NodeIds> optional_outputs(PyObject* slot) {
  if (!given(slot)) return std::nullopt;
  return processing("outputs", [&] { return to_id_list(slot); });
}

namespace {

PyRef count_object(std::size_t n) { return check(PyLong_FromSize_t(n)); }

}  // namespace

// Always inserted in this order.
PyRef report_dict(const ReductionCounters& c) {
  const std::pair<const char*, std::size_t> entries[] = {
      {"input_nodes", c.input_nodes},       {"reachable_nodes", c.reachable_nodes},
      {"canonical_nodes", c.canonical_nodes}, {"stages", c.stages},
      {"reduced_nodes", c.reduced_nodes},   {"boundary_nodes", c.boundary_nodes},
  };
  PyRef dict = check(PyDict_New());
  for (const auto& [key, count] : entries) {
    PyRef key_object = check(PyUnicode_InternFromString(key));
    PyRef value = count_object(count);
    check_status(PyDict_SetItem(dict.get(), key_object.get(), value.get()));
  }
  return dict;
}

PyObject* store_and_report(DerivedStore derived) {
  const ReductionCounters counters = derived.report;
  PyRef store = PyRef::steal(wrap_graph_store(std::move(derived.store)));
  PyRef report = report_dict(counters);
  PyRef pair = check(PyTuple_New(2));
  PyTuple_SET_ITEM(pair.get(), 0, store.release());
  PyTuple_SET_ITEM(pair.get(), 1, report.release());
  return pair.release();
}

}  // namespace quorvel::py
