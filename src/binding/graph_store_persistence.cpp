// GraphStore.serialize and the static GraphStore.deserialize: the store's
// durable form, the IR blob.
#include <string>
#include <string_view>

#include "binding/arg_parser.hpp"
#include "binding/convert.hpp"
#include "binding/graph_store_methods.hpp"
#include "binding/graph_store_type.hpp"
#include "binding/once_init.hpp"
#include "binding/store_errors.hpp"
#include "serialize/blob_reader.hpp"
#include "serialize/blob_writer.hpp"

namespace quorvel::py {

namespace {

PyRef bytes_of(const std::string& blob) {
  return check(PyBytes_FromStringAndSize(blob.data(), static_cast<Py_ssize_t>(blob.size())));
}

}  // namespace

PyObject* store_serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point<PyObject*>(nullptr, [&] {
    static constexpr const char* kNames[] = {"outputs"};
    static const Signature sig{"GraphStore.serialize()", kNames, 1, 0, nullptr, 0, 0};
    PyObject* slots[1];
    parse_fastcall(sig, args, nargs, kwnames, slots);
    const GraphStore& store = *graph_store_of(self);
    std::string blob;
    try {
      if (!given(slots[0])) {
        blob = serialize_with_marks(store);
      } else {
        const NodeIds outputs = processing("outputs", [&] { return to_id_list(slots[0]); });
        // The store only grows, so ids checked against this count stay valid.
        const std::uint64_t count = store.node_count();
        for (NodeId id : outputs) {
          if (id >= count) raise_bad_node_id(BadNodeId{id});
        }
        blob = serialize_with(store, outputs);
      }
    } catch (const BlobTooLarge& e) {
      // The caller's graph does not fit the format's 32-bit counts; nothing
      // was written and the store is intact.
      raise(PyExc_OverflowError, e.message());
    }
    return bytes_of(blob).release();
  });
}

PyObject* store_deserialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point<PyObject*>(nullptr, [&] {
    static constexpr const char* kNames[] = {"data"};
    static const Signature sig{"GraphStore.deserialize()", kNames, 1, 1, nullptr, 0, 0};
    PyObject* slots[1];
    parse_fastcall(sig, args, nargs, kwnames, slots);
    PyObject* data = slots[0];
    processing("data", [&] {
      if (!PyBytes_Check(data)) raise_not_instance(data, "bytes");
    });
    // A bytes object is immutable, so reading it in place is safe.
    const std::string_view bytes(PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
    auto store = deserialize(bytes);
    if (!store.ok()) raise(PyExc_ValueError, store.error().message());
    return wrap_graph_store(std::move(store).value());
  });
}

PyObject* store_reduce_for_pickle(PyObject* self, PyObject*) {
  return entry_point<PyObject*>(nullptr, [&] {
    // The class reports "builtins" as its module, where pickle cannot find
    // it, so the store is rebuilt through the module's own restorer, which
    // pickle finds by name in quorvel_core.
    PyObject* restorer = graph_store_restorer();
    if (restorer == nullptr) raise_current();
    std::string bytes;
    try {
      bytes = serialize_with_marks(*graph_store_of(self));
    } catch (const BlobTooLarge& e) {
      raise(PyExc_OverflowError, e.message());
    }
    PyRef blob = bytes_of(bytes);
    PyRef args = check(PyTuple_Pack(1, blob.get()));
    return check(PyTuple_Pack(2, restorer, args.get())).release();
  });
}

namespace {

PyMethodDef restorer_def = {
    "_restore_graph_store", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_deserialize)),
    METH_FASTCALL | METH_KEYWORDS, "_restore_graph_store(data)\n--\n\n"};

}  // namespace

PyObject* graph_store_restorer() {
  static OnceObject function;
  return function.get([]() -> PyObject* {
    PyObject* module_name = PyUnicode_FromString("quorvel_core");
    if (module_name == nullptr) return nullptr;
    PyObject* f = PyCMethod_New(&restorer_def, nullptr, module_name, nullptr);
    Py_DECREF(module_name);
    return f;
  });
}

}  // namespace quorvel::py
