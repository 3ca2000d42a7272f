#include "binding/reduction_result.hpp"

#include <cstddef>
#include <iterator>
#include <utility>

#include "binding/arg_parser.hpp"
#include "binding/convert.hpp"
#include "binding/graph_store_type.hpp"
#include "binding/once_init.hpp"
#include "binding/py_error.hpp"
#include "support/internal_error.hpp"

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

constexpr const char* kReportKeys[] = {"input_nodes",   "reachable_nodes", "canonical_nodes",
                                       "stages",        "reduced_nodes",   "boundary_nodes"};

// A dict of the report's keys, interned, in order, each mapped to None:
// kept for the life of the process and copied for every report, so that no
// key is made or hashed again.
PyObject* report_template() {
  static OnceObject once;
  PyObject* dict = once.get([] {
    return entry_point<PyObject*>(nullptr, [] {
      PyRef created = check(PyDict_New());
      for (const char* key : kReportKeys) {
        PyRef text = check(PyUnicode_InternFromString(key));
        check_status(PyDict_SetItem(created.get(), text.get(), Py_None));
      }
      return created.release();
    });
  });
  if (dict == nullptr) raise_current();
  return dict;
}

}  // namespace

// Always inserted in this order.
PyRef report_dict(const ReductionCounters& c) {
  const std::size_t counts[] = {c.input_nodes,   c.reachable_nodes, c.canonical_nodes,
                                c.stages,        c.reduced_nodes,   c.boundary_nodes};
  static_assert(std::size(counts) == std::size(kReportKeys));
  PyObject* keys = report_template();
  PyRef dict = check(PyDict_Copy(keys));
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* ignored = nullptr;
  for (const std::size_t count : counts) {
    if (!PyDict_Next(keys, &position, &key, &ignored)) fail_invariant("the report template holds every key", "");
    PyRef value = count_object(count);
    check_status(PyDict_SetItem(dict.get(), key, value.get()));
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
