#include "binding/graph_store_methods.hpp"

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
    {"mark_output", fastcall(store_mark_output), kFastKw,
     "mark_output($self, id)\n--\n\n"
     "Mark node `id` as an output (appended unless already marked)."},
    {"mark_outputs", fastcall(store_mark_outputs), kFastKw,
     "mark_outputs($self, ids)\n--\n\n"
     "Mark every node of `ids` as an output, in order; all or nothing."},
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
    {"cone", fastcall(store_cone), kFastKw,
     "cone($self, *, outputs)\n--\n\n"
     "opt_level=0 (M6): the 1:1 cone of `outputs` \xe2\x80\x94 DCE without the rewrites \xe2\x80\x94 as a fresh store\n"
     "marked with `outputs`; its `node_map` sends each kept id to `(cone id, None)`."},
    {"reduce", fastcall(store_reduce), kFastKw,
     "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
     "Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind\n"
     "RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts in\n"
     "to fusing fan-out ops whose consumers all land in one stage (the default single-use rule is\n"
     "pinned by the frozen M4 suite)."},
    {"reduce_incremental", fastcall(store_reduce_incremental), kFastKw,
     "reduce_incremental($self, *, outputs=None)\n--\n\n"
     "One-shot incremental reduction of the current graph (same result as `reduce`). For genuine\n"
     "step-by-step reduction while building, use `IncrementalReducer`."},
    {"reduction_report", fastcall(store_reduction_report), kFastKw,
     "reduction_report($self, *, outputs=None)\n--\n\n"
     "The reduction report for the current graph, without keeping the reduced store."},
    {"nodes", store_nodes, METH_NOARGS,
     "nodes($self)\n--\n\n"
     "Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR and\n"
     "`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n"
     "(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a\n"
     "`descriptor` dict for external nodes and `n_members` for stage nodes."},
    {"node_map", store_node_map, METH_NOARGS,
     "node_map($self)\n--\n\n"
     "\xc2\xa7" "8.2(i): for each node of the arena this store was REDUCED FROM, where it landed here \xe2\x80\x94\n"
     "`(reduced_node_id, member_index | None)`, or `None` if DCE dropped it. Indexed by that\n"
     "arena's node id. Empty for a store that did not come out of a reduction."},
    {"to_dot", store_to_dot, METH_NOARGS, "to_dot($self)\n--\n\n"},
    {"__reduce__", store_reduce_for_pickle, METH_NOARGS,
     "__reduce__($self)\n--\n\n"
     "Pickling support: the store travels as its IR blob (nodes, ids and marks)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorvel::py
