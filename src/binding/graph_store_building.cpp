// GraphStore's building methods: convert the arguments, build a node key,
// intern it, return the id.
#include <string_view>

#include "binding/arg_parser.hpp"
#include "binding/convert.hpp"
#include "binding/graph_store_methods.hpp"
#include "binding/graph_store_type.hpp"
#include "binding/store_errors.hpp"

namespace quorvel::py {

namespace {

PyObject* intern_key(PyObject* self, NodeKey&& key) {
  GraphStore& store = *graph_store_of(self);
  const NodeId id = value_or_raise(store.intern(std::move(key)));
  return from_id(id).release();
}

// add_op and add_reduction share one shape: name, inputs, params.
template <NodeKey (*Make)(std::string_view, ParamMap, NodeInputs)>
PyObject* add_named_with_inputs(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return entry_point<PyObject*>(nullptr, [&] {
    PyObject* slots[3];
    parse_fastcall(sig, args, nargs, kwnames, slots);
    // The name's text is borrowed from the argument, which the caller holds
    // for the whole call, and copied once into the key.
    const std::string_view name = processing("name", [&] { return text_view(slots[0]); });
    NodeInputs inputs = processing("inputs", [&] { return to_node_inputs(slots[1]); });
    ParamMap params = to_params(slots[2]);
    return intern_key(self, Make(name, std::move(params), std::move(inputs)));
  });
}

// add_exchange and add_join: inputs, params (the scheme).
template <NodeKey (*Make)(ParamMap, NodeInputs)>
PyObject* add_boundary(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return entry_point<PyObject*>(nullptr, [&] {
    PyObject* slots[2];
    parse_fastcall(sig, args, nargs, kwnames, slots);
    NodeInputs inputs = processing("inputs", [&] { return to_node_inputs(slots[0]); });
    ParamMap scheme = to_params(slots[1]);
    return intern_key(self, Make(std::move(scheme), std::move(inputs)));
  });
}

constexpr const char* kNameInputsParams[] = {"name", "inputs", "params"};
constexpr const char* kInputsParams[] = {"inputs", "params"};

}  // namespace

PyObject* store_add_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point<PyObject*>(nullptr, [&] {
    static constexpr const char* kNames[] = {"name", "params"};
    static const Signature sig{"GraphStore.add_source()", kNames, 2, 1, nullptr, 0, 0};
    PyObject* slots[2];
    parse_fastcall(sig, args, nargs, kwnames, slots);
    const std::string_view name = processing("name", [&] { return text_view(slots[0]); });
    ParamMap params = to_params(slots[1]);
    GraphStore& store = *graph_store_of(self);
    auto id = store.intern(NodeKey::source(name, std::move(params)));
    // A source has no inputs, so interning it cannot fail.
    if (!id.ok()) fail_invariant("source has no inputs", id.error().debug());
    return from_id(id.value()).release();
  });
}

PyObject* store_add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"GraphStore.add_op()", kNameInputsParams, 3, 2, nullptr, 0, 0};
  return add_named_with_inputs<NodeKey::op>(sig, self, args, nargs, kwnames);
}

PyObject* store_add_reduction(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"GraphStore.add_reduction()", kNameInputsParams, 3, 2, nullptr, 0, 0};
  return add_named_with_inputs<NodeKey::reduction>(sig, self, args, nargs, kwnames);
}

PyObject* store_add_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"GraphStore.add_exchange()", kInputsParams, 2, 1, nullptr, 0, 0};
  return add_boundary<NodeKey::exchange>(sig, self, args, nargs, kwnames);
}

PyObject* store_add_join(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"GraphStore.add_join()", kInputsParams, 2, 1, nullptr, 0, 0};
  return add_boundary<NodeKey::join>(sig, self, args, nargs, kwnames);
}

PyObject* store_add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry_point<PyObject*>(nullptr, [&] {
    static constexpr const char* kNames[] = {"descriptor", "inputs", "params"};
    static const Signature sig{"GraphStore.add_external()", kNames, 3, 2, nullptr, 0, 0};
    PyObject* slots[3];
    parse_fastcall(sig, args, nargs, kwnames, slots);
    // The descriptor and params are taken as plain objects and converted
    // after the typed argument, so their errors carry no note.
    NodeInputs inputs = processing("inputs", [&] { return to_node_inputs(slots[1]); });
    PayloadDescriptor descriptor = to_descriptor(slots[0]);
    ParamMap params = to_params(slots[2]);
    return intern_key(self, NodeKey::external(std::move(descriptor), std::move(params), std::move(inputs)));
  });
}

}  // namespace quorvel::py
