#include "lib/graph_store_methods.hpp"

namespace quorvel::py {

namespace {

template <class F>
PyCFunction fastcall(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef graph_store_methods[] = {
    {"add_source", fastcall(store_add_source), kFastKw, "add_source($self, name, params=None)\n--\n\n"},
    {"add_op", fastcall(store_add_op), kFastKw, "add_op($self, name, inputs, params=None)\n--\n\n"},
    {"add_reduction", fastcall(store_add_reduction), kFastKw, "add_reduction($self, name, inputs, params=None)\n--\n\n"},
    {"add_exchange", fastcall(store_add_exchange), kFastKw,
     "add_exchange($self, inputs, params=None)\n--\n\n"
     "Record an `Exchange` boundary (plan M39 \xc2\xa7" "2.1). No `name` \xe2\x80\x94 an Exchange's identity is its\n"
     "`scheme` ParamMap (`params`) + its one logical input; `nodes()[i][\"kind\"] == \"exchange\"`."},
    {"add_join", fastcall(store_add_join), kFastKw,
     "add_join($self, inputs, params=None)\n--\n\n"
     "Record a `Join` boundary (plan M40 \xc2\xa7" "2.1). Two inputs `[left, right]`; identity is its\n"
     "`scheme` ParamMap (`params`) + its ordered inputs; `nodes()[i][\"kind\"] == \"join\"`."},
    {"add_external", fastcall(store_add_external), kFastKw, "add_external($self, descriptor, inputs, params=None)\n--\n\n"},
    {"node_count", store_node_count, METH_NOARGS, "node_count($self)\n--\n\n"},
    {"outputs", store_outputs, METH_NOARGS,
     "outputs($self)\n--\n\n"
     "The marked output node ids, in mark order (what an IR evaluator returns, in order)."},
    {"serialize", fastcall(store_serialize), kFastKw,
     "serialize($self, outputs=None)\n--\n\n"
     "Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / A.3.1:\n"
     "the serializable IR \xe2\x80\x94 not cloudpickle \xe2\x80\x94 is the canonical durable representation). With\n"
     "`outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are a\n"
     "property of the compile request); the default keeps the marks-based behavior."},
    {"deserialize", fastcall(store_deserialize), kFastKw | METH_STATIC,
     "deserialize(data)\n--\n\n"
     "Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so\n"
     "`serialize` of the result is byte-identical to the input (plan M8 determinism gate)."},
    {"to_dot", store_to_dot, METH_NOARGS, "to_dot($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorvel::py
