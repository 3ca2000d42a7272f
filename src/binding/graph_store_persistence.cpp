// GraphStore.serialize and the static GraphStore.deserialize: the store's
// durable form, the IR blob; and pickling, which carries a derived store's
// node map beside the blob.
#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "binding/arg_parser.hpp"
#include "binding/convert.hpp"
#include "binding/graph_store_methods.hpp"
#include "binding/graph_store_type.hpp"
#include "binding/interrupts.hpp"
#include "binding/once_init.hpp"
#include "binding/store_errors.hpp"
#include "serialize/blob_reader.hpp"
#include "serialize/blob_writer.hpp"
#include "serialize/node_map_record.hpp"
#include "support/page_prefault.hpp"

namespace quorvel::py {

namespace {

PyRef bytes_of(const std::string& blob) {
  return check(PyBytes_FromStringAndSize(blob.data(), static_cast<Py_ssize_t>(blob.size())));
}

// A new bytes object that a blob is written into, made for the plan's
// expected size. A large one is mapped afresh, and its pages are made
// present a few at a time just ahead of the writer: one call instead of a
// fault per page, and the zeroed pages are still in the caches when they
// are written. It grows, when a blob needs more than expected, by remapping
// (no bytes move), and is cut to the blob's size at the end; the object is
// seen by no one before it has its final size and contents.
class BytesBuffer final : public BlobBuffer {
 public:
  explicit BytesBuffer(std::size_t expected)
      : bytes_(check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(expected)))), capacity_(expected) {
    ready_ = capacity_ < kPrefaultFrom ? capacity_ : 0;
  }

  std::span<char> room_for(std::size_t size) override {
    if (size > capacity_) resize(std::max(size, capacity_ + capacity_ / 2));
    if (size > ready_) {
      const std::size_t ready = std::min(capacity_, std::max(size, ready_ + kPrefaultStep));
      prefault_for_writing(data() + ready_, data() + ready);
      ready_ = ready;
    }
    return {data(), ready_};
  }

  PyRef take(std::size_t size) && {
    if (size != capacity_) resize(size);
    return std::move(bytes_);
  }

 private:
  // Smaller blobs come from the heap, whose pages are mostly present.
  static constexpr std::size_t kPrefaultFrom = std::size_t{1} << 20;
  static constexpr std::size_t kPrefaultStep = std::size_t{2} << 20;

  char* data() const noexcept { return PyBytes_AS_STRING(bytes_.get()); }

  // Resizing in place: a mapped block is remapped, not copied. On failure
  // the object is freed and the error set.
  void resize(std::size_t size) {
    PyObject* raw = bytes_.release();
    if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(size)) < 0) raise_current();
    bytes_ = PyRef::steal(raw);
    capacity_ = size;
    ready_ = std::min(ready_, size);
  }

  PyRef bytes_;
  std::size_t capacity_;
  std::size_t ready_;  // bytes from the start whose pages were made present
};

// The plan's blob in a new bytes object.
PyRef bytes_of(const BlobPlan& plan) {
  BytesBuffer buffer(plan.expected_size());
  const std::size_t size = plan.write(buffer);
  return std::move(buffer).take(size);
}

// Runs encode(), which measures or writes bytes of the blob format; a
// graph the format cannot hold raises OverflowError.
template <class Encode>
auto fitting_the_format(Encode&& encode) {
  try {
    return encode();
  } catch (const BlobTooLarge& e) {
    // The caller's graph does not fit the format's 32-bit counts; nothing
    // was written and the store is intact.
    raise(PyExc_OverflowError, e.message());
  }
}

}  // namespace

PyObject* store_serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point<PyObject*>(nullptr, [&] {
    static constexpr const char* kNames[] = {"outputs"};
    static const Signature sig{"GraphStore.serialize()", kNames, 1, 0, nullptr, 0, 0};
    PyObject* slots[1];
    parse_fastcall(sig, args, nargs, kwnames, slots);
    const GraphStore& store = *graph_store_of(self);
    if (!given(slots[0])) return fitting_the_format([&] { return bytes_of(BlobPlan(store)); }).release();
    NodeIds outputs = processing("outputs", [&] { return to_id_list(slots[0]); });
    // Every output names a node; the store only grows, so they still do
    // when the blob is written.
    NodeList nodes = value_or_raise(store.frozen_holding(outputs));
    return fitting_the_format([&] { return bytes_of(BlobPlan(std::move(nodes), std::move(outputs))); }).release();
  });
}

namespace {

// The bytes of a `bytes` argument (a subclass too), read in place: a bytes
// object is immutable.
std::string_view bytes_argument(const char* parameter, PyObject* object) {
  processing(parameter, [&] {
    if (!PyBytes_Check(object)) raise_not_instance(object, "bytes");
  });
  return {PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
}

std::unique_ptr<GraphStore> store_from_blob(std::string_view bytes) {
  auto store = interruptible([&] { return deserialize(bytes); });
  if (!store.ok()) raise(PyExc_ValueError, store.error().message());
  return std::move(store).value();
}

}  // namespace

PyObject* store_deserialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point<PyObject*>(nullptr, [&] {
    static constexpr const char* kNames[] = {"data"};
    static const Signature sig{"GraphStore.deserialize()", kNames, 1, 1, nullptr, 0, 0};
    PyObject* slots[1];
    parse_fastcall(sig, args, nargs, kwnames, slots);
    return wrap_graph_store(store_from_blob(bytes_argument("data", slots[0])));
  });
}

namespace {

// _restore_graph_store(data, node_map=None): the store of a pickle. The
// node map record, when there is one, is checked against the rebuilt store
// before it is set, so a damaged pickle is refused instead of producing a
// map that names missing nodes or members. Pickles that carry the blob
// alone (stores without a node map, and every pickle of earlier versions)
// give a store with an empty map.
PyObject* store_restore(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point<PyObject*>(nullptr, [&] {
    static constexpr const char* kNames[] = {"data", "node_map"};
    static const Signature sig{"_restore_graph_store()", kNames, 2, 1, nullptr, 0, 0};
    PyObject* slots[2];
    parse_fastcall(sig, args, nargs, kwnames, slots);
    const std::string_view blob = bytes_argument("data", slots[0]);
    std::string_view record;
    const bool has_map = given(slots[1]);
    if (has_map) record = bytes_argument("node_map", slots[1]);
    std::unique_ptr<GraphStore> store = store_from_blob(blob);
    if (has_map) {
      auto map = decode_node_map(record, *store);
      if (!map.ok()) raise(PyExc_ValueError, map.error().message);
      store->set_node_map(std::move(map).value());
    }
    return wrap_graph_store(std::move(store));
  });
}

}  // namespace

PyObject* store_reduce_for_pickle(PyObject* self, PyObject*) {
  return entry_point<PyObject*>(nullptr, [&] {
    // The class reports "builtins" as its module, where pickle cannot find
    // it, so the store is rebuilt through the module's own restorer, which
    // pickle finds by name in quorvel_core.
    PyObject* restorer = graph_store_restorer();
    if (restorer == nullptr) raise_current();
    const GraphStore& store = *graph_store_of(self);
    std::string record;
    // A derived store's node map is written once, before the store is
    // handed out, so reading it apart from the blob is still consistent.
    const NodeMap map = store.node_map();
    const BlobPlan plan = fitting_the_format([&] { return BlobPlan(store); });
    if (!map.empty()) record = fitting_the_format([&] { return encode_node_map(map); });
    PyRef blob_bytes = fitting_the_format([&] { return bytes_of(plan); });
    // Without a node map the arguments are the blob alone, as they always
    // were: such pickles stay byte for byte what earlier versions wrote.
    PyRef args = map.empty() ? check(PyTuple_Pack(1, blob_bytes.get()))
                             : check(PyTuple_Pack(2, blob_bytes.get(), bytes_of(record).get()));
    return check(PyTuple_Pack(2, restorer, args.get())).release();
  });
}

namespace {

PyMethodDef restorer_def = {
    "_restore_graph_store", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_restore)),
    METH_FASTCALL | METH_KEYWORDS, "_restore_graph_store(data, node_map=None)\n--\n\n"};

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
