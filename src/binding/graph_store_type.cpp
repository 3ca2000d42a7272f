// The Python class GraphStore: a thin, immutable handle that owns one
// store. Each method converts its arguments, calls one store operation (the
// store takes its own lock) and converts the result after the lock is gone.
#include "binding/graph_store_type.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "binding/arg_parser.hpp"
#include "binding/convert.hpp"
#include "binding/graph_store_methods.hpp"
#include "binding/once_init.hpp"
#include "binding/type_registry.hpp"

namespace quorvel::py {

namespace {

struct StoreObject {
  PyObject_HEAD
  GraphStore* store;
};

PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry_point<PyObject*>(nullptr, [&]() -> PyObject* {
    static const Signature sig{"GraphStore.__new__()", nullptr, 0, 0, nullptr, 0, 0};
    parse_tuple_dict(sig, args, kwargs, nullptr);
    auto store = std::make_unique<GraphStore>();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) raise_current();
    reinterpret_cast<StoreObject*>(self)->store = store.release();
    return self;
  });
}

void store_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<StoreObject*>(self)->store;
  type->tp_free(self);
  Py_DECREF(type);
}

// len(store): the node count.
Py_ssize_t store_length(PyObject* self) {
  return entry_point<Py_ssize_t>(-1, [&] {
    const std::uint64_t n = graph_store_of(self)->node_count();
    if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) raise(PyExc_OverflowError, "node count too large for len()");
    return static_cast<Py_ssize_t>(n);
  });
}

// "<GraphStore: 9 nodes, 1 output>" (a subclass shows its own name), both
// counts read under one lock.
PyObject* store_repr(PyObject* self) {
  return entry_point<PyObject*>(nullptr, [&] {
    const auto [nodes, outputs] = graph_store_of(self)->read_locked([](const GraphStore::View& view) {
      return std::pair<std::size_t, std::size_t>(view.size(), view.outputs().size());
    });
    // The type's name without its module ("builtins.GraphStore" for the class itself).
    const std::string_view full_name = Py_TYPE(self)->tp_name;
    const std::string_view name = full_name.substr(full_name.rfind('.') + 1);
    std::string text = "<" + std::string(name) + ": " + std::to_string(nodes) + (nodes == 1 ? " node, " : " nodes, ") +
                       std::to_string(outputs) + (outputs == 1 ? " output>" : " outputs>");
    return from_text(text).release();
  });
}

const char store_doc[] =
    "GraphStore()\n--\n\n"
    "Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to\n"
    "share across threads under the GIL and free-threaded 3.14t).";

PyType_Slot store_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_methods, graph_store_methods},
    {Py_sq_length, reinterpret_cast<void*>(store_length)},
    {Py_tp_repr, reinterpret_cast<void*>(store_repr)},
    {Py_tp_doc, const_cast<char*>(store_doc)},
    {0, nullptr},
};

PyType_Spec store_spec = {
    "builtins.GraphStore",
    sizeof(StoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    store_slots,
};

}  // namespace

PyTypeObject* graph_store_type() {
  static OnceObject type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_immutable_type(&store_spec); }));
}

GraphStore* graph_store_of(PyObject* object) {
  PyTypeObject* type = graph_store_type();
  if (type == nullptr) raise_current();
  if (!PyObject_TypeCheck(object, type)) return nullptr;
  return reinterpret_cast<StoreObject*>(object)->store;
}

PyObject* wrap_graph_store(std::unique_ptr<GraphStore> store) {
  PyTypeObject* type = graph_store_type();
  if (type == nullptr) raise_current();
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) raise_current();
  reinterpret_cast<StoreObject*>(self)->store = store.release();
  return self;
}

}  // namespace quorvel::py
