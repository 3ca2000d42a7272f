// The Python class IncrementalReducer. The class exists so that the module
// exposes its full set of names; its reduction methods arrive with the
// incremental reducer of the optimizer.
#include <memory>

#include "lib/arg_parser.hpp"
#include "lib/once_init.hpp"
#include "lib/py_error.hpp"
#include "lib/type_registry.hpp"

namespace quorvel::py {

namespace {

struct ReducerObject {
  PyObject_HEAD
};

PyObject* reducer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry_point<PyObject*>(nullptr, [&]() -> PyObject* {
    static const Signature sig{"IncrementalReducer.__new__()", nullptr, 0, 0, nullptr, 0, 0};
    parse_tuple_dict(sig, args, kwargs, nullptr);
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) raise_current();
    return self;
  });
}

void reducer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

const char reducer_doc[] =
    "IncrementalReducer()\n--\n\n"
    "Genuinely incremental reduction (plan \xc2\xa7" "A.1): feed it a store as the graph is being built; each\n"
    "`step` canonicalizes ONLY the nodes recorded since the last step (identity elimination,\n"
    "commutativity dedup, hash-consing \xe2\x80\x94 the same sound rules the SaturationEngine runs), so a concise\n"
    "canonical form is maintained while building and `finalize` does one linear pass instead of a\n"
    "whole-history optimization. `total_work()` counts nodes processed across all steps \xe2\x80\x94 it equals\n"
    "the node count of the store, no matter how many steps fed it (the incrementality witness).";

PyType_Slot reducer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reducer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reducer_dealloc)},
    {Py_tp_doc, const_cast<char*>(reducer_doc)},
    {0, nullptr},
};

PyType_Spec reducer_spec = {
    "builtins.IncrementalReducer",
    sizeof(ReducerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    reducer_slots,
};

}  // namespace

PyTypeObject* incremental_reducer_type() {
  static OnceObject type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_immutable_type(&reducer_spec); }));
}

}  // namespace quorvel::py
