// GraphStore.nodes(): the structured, read-only view of every node, one
// dict per node in id order. The store's lock is held only while the node
// count and marks are taken; the keys are read where the store keeps them
// (they never move or change, and the nodes added later are not read), and
// every Python object is built after the lock is released.
//
// The view of a large store is millions of small objects, so the
// conversion avoids the work that does not depend on the node: the dict
// keys and kind texts are interned once per process; each entry dict is a
// copy of a template that already holds its keys in order (no growth while
// it is filled) and the values its kind and mark decide; the int of every
// node id is made once and shared by the "id" of that node and every
// "inputs" list that names it; and texts that recur (names, parameter
// names, string values) are made once per call.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/convert.hpp"
#include "binding/graph_store_methods.hpp"
#include "binding/graph_store_type.hpp"
#include "binding/interrupts.hpp"
#include "binding/once_init.hpp"
#include "node/parse_op_token.hpp"
#include "support/hash_mix.hpp"
#include "support/large_block_allocator.hpp"

namespace quorvel::py {

namespace {

// The interned texts and entry templates, in one tuple kept for the life of
// the process; the enumerators are their positions.
enum Slot : Py_ssize_t {
  // Entry keys, in entry order.
  kId,
  kOutput,
  kInputs,
  kKind,
  kName,
  kParams,
  kDescriptor,
  kNMembers,
  kMembers,
  // Descriptor keys after "kind".
  kContentHash,
  kFramework,
  kVersion,
  kIoSchema,
  kPreprocessingRef,
  // Values.
  kInputTag,   // "input"
  kMemberTag,  // "member"
  kRedText,    // "red", a member's kind text for a reduction token
  kEmptyText,
  kKindTexts,  // one per NodeKind, in tag order
  // Dicts holding the keys of an entry in order: for each kind an unmarked
  // and a marked one, with "output", "kind" and (where a kind has no name)
  // "name" already set and every other value None; then the descriptor and
  // member dicts, all values None.
  kEntryTemplates = kKindTexts + kNodeKindCount,
  kDescriptorTemplate = kEntryTemplates + 2 * kNodeKindCount,
  kMemberTemplate,  // kind, name, params, inputs
  kSlotCount,
  kFirstTemplate = kEntryTemplates,
  kTemplateCount = kSlotCount - kFirstTemplate,
};

constexpr const char* kTexts[] = {
    "id", "output", "inputs", "kind", "name", "params", "descriptor", "n_members", "members",
    "content_hash", "framework", "version", "io_schema", "preprocessing_ref",
    "input", "member", "red", "",
};
static_assert(std::size(kTexts) == kKindTexts);

// A dict holding the given keys, in order, each mapped to None.
PyRef make_template(PyObject* texts, std::initializer_list<Slot> keys) {
  PyRef dict = check(PyDict_New());
  for (Slot key : keys) check_status(PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(texts, key), Py_None));
  return dict;
}

// Source, Op and Reduction nodes carry a name; the others show "".
bool has_name(NodeKind kind) {
  return kind == NodeKind::Source || kind == NodeKind::Op || kind == NodeKind::Reduction;
}

// The template of an entry of the given kind, unmarked or marked.
PyRef make_entry_template(PyObject* texts, NodeKind kind, bool marked) {
  PyRef dict;
  switch (kind) {
    case NodeKind::External:
      dict = make_template(texts, {kId, kOutput, kInputs, kKind, kName, kParams, kDescriptor});
      break;
    case NodeKind::Stage:
      dict = make_template(texts, {kId, kOutput, kInputs, kKind, kName, kParams, kNMembers, kMembers});
      break;
    default: dict = make_template(texts, {kId, kOutput, kInputs, kKind, kName, kParams}); break;
  }
  auto text = [&](Py_ssize_t slot) { return PyTuple_GET_ITEM(texts, slot); };
  check_status(PyDict_SetItem(dict.get(), text(kOutput), marked ? Py_True : Py_False));
  check_status(PyDict_SetItem(dict.get(), text(kKind), text(kKindTexts + static_cast<std::uint8_t>(kind))));
  if (!has_name(kind)) check_status(PyDict_SetItem(dict.get(), text(kName), text(kEmptyText)));
  return dict;
}

PyObject* create_slots() {
  return entry_point<PyObject*>(nullptr, [] {
    PyRef slots = check(PyTuple_New(kSlotCount));
    PyObject* t = slots.get();
    for (Py_ssize_t i = 0; i < kKindTexts; ++i) {
      PyTuple_SET_ITEM(t, i, check(PyUnicode_InternFromString(kTexts[i])).release());
    }
    for (std::uint8_t k = 0; k < kNodeKindCount; ++k) {
      const char* text = kind_text(static_cast<NodeKind>(k));
      PyTuple_SET_ITEM(t, kKindTexts + k, check(PyUnicode_InternFromString(text)).release());
    }
    for (std::uint8_t k = 0; k < kNodeKindCount; ++k) {
      for (int marked = 0; marked < 2; ++marked) {
        PyTuple_SET_ITEM(t, kEntryTemplates + 2 * k + marked,
                         make_entry_template(t, static_cast<NodeKind>(k), marked).release());
      }
    }
    PyTuple_SET_ITEM(
        t, kDescriptorTemplate,
        make_template(t, {kKind, kContentHash, kFramework, kVersion, kIoSchema, kPreprocessingRef}).release());
    PyTuple_SET_ITEM(t, kMemberTemplate, make_template(t, {kKind, kName, kParams, kInputs}).release());
    return slots.release();
  });
}

PyObject* inspection_slots() {
  static OnceObject slots;
  PyObject* tuple = slots.get(create_slots);
  if (tuple == nullptr) raise_current();
  return tuple;
}

// The str objects of short texts made during one call, in a direct-mapped
// table: a text met again (an op name, a parameter name, a string value) is
// the same str, whose hash the interpreter has already computed. An entry
// holds the last text that fell into it; texts are views into the store's
// keys, which outlive the table. Only which equal strs are shared depends
// on the table, never a value.
class TextCache {
 public:
  PyRef get(std::string_view text) {
    if (text.size() > kMaxBytes) return from_text(text);
    Entry& entry = entries_[mix64(fold_bytes(0, text)) & (kEntries - 1)];
    if (entry.object && entry.text == text) return entry.object;
    PyRef object = from_text(text);
    entry.text = text;
    entry.object = object;
    return object;
  }

 private:
  static constexpr std::size_t kEntries = 4096;
  static constexpr std::size_t kMaxBytes = 64;
  struct Entry {
    std::string_view text;
    PyRef object;
  };
  std::vector<Entry> entries_ = std::vector<Entry>(kEntries);
};

class NodeViewBuilder {
 public:
  NodeViewBuilder(PyObject* slots, const GraphStore::FrozenView& view)
      : slots_(slots), nodes_(view.nodes), marked_(view.nodes.size(), 0), ids_(view.nodes.size()) {
    // Copies of the templates of this call's own: the process-wide ones are
    // then read once, not once per node (under a free-threaded interpreter
    // every read of a shared dict takes its lock).
    for (Py_ssize_t t = 0; t < kTemplateCount; ++t) {
      templates_[t] = check(PyDict_Copy(slot(static_cast<Slot>(kFirstTemplate + t))));
    }
    // Membership of the marks in one table, so that a store with every node
    // marked is still converted in linear time.
    for (NodeId id : view.outputs) {
      if (id < marked_.size()) marked_[id] = 1;
    }
  }

  PyRef build() {
    hidden_.reserve(2 * nodes_.size() + 1);
    PyRef list = hidden(check(PyList_New(static_cast<Py_ssize_t>(nodes_.size()))));
    // No lock is held here: the signal handlers themselves run now and
    // then, and one that raises drops the list (its containers are freed
    // untracked; no handler can reach them).
    SignalPoller signals;
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
      signals.tick();
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry(i).release());
    }
    for (PyObject* container : hidden_) {
      if (!PyObject_GC_IsTracked(container)) PyObject_GC_Track(container);
    }
    return list;
  }

 private:
  PyObject* slot(Slot s) const noexcept { return PyTuple_GET_ITEM(slots_, s); }
  PyObject* kind_object(NodeKind kind) const noexcept {
    return slot(static_cast<Slot>(kKindTexts + static_cast<std::uint8_t>(kind)));
  }
  // A new dict holding the template's keys, in order.
  PyRef copy_of(Slot shape) const { return check(PyDict_Copy(templates_[shape - kFirstTemplate].get())); }

  // The view's lists and dicts are built hidden from the cyclic collector
  // and shown to it in one pass once the view is complete. The allocations
  // of a large view start many collections; had every container been
  // tracked from the start, each collection of the older generations would
  // scan the whole growing view again. Nothing else can reach a container
  // before build() returns, and every one is tracked by then; on failure
  // they are freed untracked.
  PyRef hidden(PyRef container) {
    if (PyObject_GC_IsTracked(container.get())) PyObject_GC_UnTrack(container.get());
    hidden_.push_back(container.get());
    return container;
  }

  // Stores value under key; value is a new reference, consumed.
  static void put(PyObject* dict, PyObject* key, PyRef value) {
    check_status(PyDict_SetItem(dict, key, value.get()));
  }

  PyRef entry(std::size_t i) {
    const NodeKey& key = nodes_[i];
    const NodeKind kind = key.kind();
    PyRef dict = copy_of(static_cast<Slot>(kEntryTemplates + 2 * static_cast<std::uint8_t>(kind) + marked_[i]));
    PyObject* d = dict.get();

    PyRef id = from_id(i);
    ids_[i] = id.get();  // kept alive by this entry, which the result list holds
    put(d, slot(kId), std::move(id));
    put(d, slot(kInputs), inputs(i, key.inputs()));
    if (has_name(kind)) {
      put(d, slot(kName), key.name().empty() ? PyRef::new_ref(slot(kEmptyText)) : texts_.get(key.name()));
    }
    put(d, slot(kParams), params(key.params()));
    if (kind == NodeKind::External) put(d, slot(kDescriptor), descriptor(key.descriptor()));
    if (kind == NodeKind::Stage) {
      const std::vector<StageOp>& members = key.members();
      put(d, slot(kNMembers), check(PyLong_FromSize_t(members.size())));
      put(d, slot(kMembers), stage_members(members));
    }
    // Hidden once full: a dict starts to be tracked when a list is put in.
    return hidden(std::move(dict));
  }

  // The int of an input id: the one made for that node's "id" (inputs name
  // lower ids), else a new one.
  PyRef id_object(std::size_t node, NodeId input) const {
    if (input < node) return PyRef::new_ref(ids_[input]);
    return from_id(input);
  }

  PyRef inputs(std::size_t node, const NodeInputs& ids) {
    PyRef list = hidden(check(PyList_New(static_cast<Py_ssize_t>(ids.size()))));
    for (std::size_t k = 0; k < ids.size(); ++k) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), id_object(node, ids[k]).release());
    }
    return list;
  }

  // A parameter map as a new dict; the store's texts go through the cache.
  PyRef params(const ParamMap& map, bool cached = true) {
    PyRef dict = check(PyDict_New());
    for (const ParamEntryView e : map) {
      PyRef value;
      switch (e.value.kind()) {
        case ParamKind::Int: value = check(PyLong_FromLongLong(e.value.as_int())); break;
        case ParamKind::Float: value = check(PyFloat_FromDouble(e.value.as_float())); break;
        case ParamKind::Bool: value = PyRef::new_ref(e.value.as_bool() ? Py_True : Py_False); break;
        case ParamKind::Str: value = cached ? texts_.get(e.value.as_str()) : from_text(e.value.as_str()); break;
      }
      PyRef name = cached ? texts_.get(e.name) : from_text(e.name);
      check_status(PyDict_SetItem(dict.get(), name.get(), value.get()));
    }
    return dict;
  }

  PyRef descriptor(const PayloadDescriptor& desc) {
    PyRef dict = copy_of(kDescriptorTemplate);
    PyObject* d = dict.get();
    put(d, slot(kKind), texts_.get(desc.kind));
    put(d, slot(kContentHash), texts_.get(desc.content_hash));
    put(d, slot(kFramework), texts_.get(desc.framework));
    put(d, slot(kVersion), texts_.get(desc.version));
    put(d, slot(kIoSchema), texts_.get(desc.io_schema));
    const std::optional<std::string>& ref = desc.preprocessing_ref;
    put(d, slot(kPreprocessingRef), ref ? texts_.get(*ref) : PyRef::new_ref(Py_None));
    return dict;
  }

  PyRef stage_members(const std::vector<StageOp>& members) {
    PyRef list = hidden(check(PyList_New(static_cast<Py_ssize_t>(members.size()))));
    for (std::size_t j = 0; j < members.size(); ++j) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j), member(members[j]).release());
    }
    return list;
  }

  PyRef member(const StageOp& op) {
    std::optional<ParsedOpToken> parsed = parse_op_token(op.token);
    if (!parsed) {
      // The token quoted as the label display form quotes a text: between
      // double quotes, with quotes, backslashes and control characters
      // escaped.
      std::string message = "unparseable stage member token ";
      ParamValueView::text(op.token).append_display(message);
      raise(PyExc_ValueError, message);
    }
    PyRef dict = copy_of(kMemberTemplate);
    PyObject* d = dict.get();
    PyObject* kind = parsed->kind == "op"    ? kind_object(NodeKind::Op)
                     : parsed->kind == "red" ? slot(kRedText)
                                             : nullptr;
    put(d, slot(kKind), kind ? PyRef::new_ref(kind) : from_text(parsed->kind));
    put(d, slot(kName), from_text(parsed->name));
    // The parsed texts die with this call: they are not cached.
    put(d, slot(kParams), params(parsed->params, false));
    put(d, slot(kInputs), refs(op.refs));
    return hidden(std::move(dict));
  }

  PyRef refs(const StageRefs& refs) {
    PyRef list = hidden(check(PyList_New(static_cast<Py_ssize_t>(refs.size()))));
    for (std::size_t k = 0; k < refs.size(); ++k) {
      const StageRef r = refs[k];
      PyRef tag = PyRef::new_ref(slot(r.kind == StageRef::Kind::Input ? kInputTag : kMemberTag));
      PyRef index = check(PyLong_FromUnsignedLongLong(r.index));
      PyRef pair = check(PyTuple_New(2));
      PyTuple_SET_ITEM(pair.get(), 0, tag.release());
      PyTuple_SET_ITEM(pair.get(), 1, index.release());
      // A tuple of a str and an int can never be part of a cycle; the
      // collector would untrack it on its first pass anyway.
      PyObject_GC_UnTrack(pair.get());
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), pair.release());
    }
    return list;
  }

  PyObject* slots_;
  const NodeList& nodes_;
  // The working arrays of a large view come from kept blocks: a view of a
  // million nodes would otherwise fault in 25 MB of fresh pages for them on
  // every call.
  LargeVector<std::uint8_t> marked_;
  // Borrowed: the int of each node id built so far, owned by its entry.
  LargeVector<PyObject*> ids_;
  TextCache texts_;
  PyRef templates_[kTemplateCount];
  // Borrowed: every container built hidden so far, owned by the view.
  LargeVector<PyObject*> hidden_;
};

}  // namespace

PyObject* store_nodes(PyObject* self, PyObject*) {
  return entry_point<PyObject*>(nullptr, [&] {
    PyObject* slots = inspection_slots();
    // The store's lock is held only while the view is taken.
    const GraphStore::FrozenView view = graph_store_of(self)->frozen();
    // On any failure the partly built list is dropped with its builder.
    return NodeViewBuilder(slots, view).build().release();
  });
}

}  // namespace quorvel::py
