#include "binding/convert.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/compat.hpp"
#include "binding/once_init.hpp"
#include "binding/payload_descriptor_type.hpp"

namespace quorvel::py {

namespace {

const char* type_name(PyObject* object) { return Py_TYPE(object)->tp_name; }

// The bare type name (after the last dot of tp_name), as __name__ shows it.
std::string short_type_name(PyObject* object) {
  const char* full = type_name(object);
  const char* dot = std::strrchr(full, '.');
  return dot ? dot + 1 : full;
}

PyObject* sequence_abc() {
  static OnceObject sequence;
  return sequence.get([]() -> PyObject* {
    PyRef module_name = PyRef::steal(PyUnicode_FromString("collections.abc"));
    if (!module_name) return nullptr;
    PyRef module = PyRef::steal(PyImport_Import(module_name.get()));
    if (!module) return nullptr;
    return PyObject_GetAttrString(module.get(), "Sequence");
  });
}

}  // namespace

void raise_not_instance(PyObject* object, const char* expected) {
  std::string message;
  if (object == Py_None) {
    message = std::string("'None' is not an instance of '") + expected + "'";
  } else {
    message = "'" + short_type_name(object) + "' object is not an instance of '" + expected + "'";
  }
  raise(PyExc_TypeError, message);
}

// The UTF-8 text of a str (or subclass), borrowed from the object, which
// caches it; valid while the object lives.
std::string_view text_view(PyObject* object) {
  if (!PyUnicode_Check(object)) raise_not_instance(object, "str");
  // Pure-ASCII strs (nearly every name) keep their text right after the
  // object header, already in UTF-8.
  if (PyUnicode_IS_COMPACT_ASCII(object)) {
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) raise_current();
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::string to_text(PyObject* object) { return std::string(text_view(object)); }

namespace {

// Clears the pending error when it is one by which a conversion says "not
// this type" (TypeError, OverflowError, ValueError, or a subclass); raises
// it unchanged otherwise.
void clear_if_not_this_type() {
  if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_OverflowError) ||
      PyErr_ExceptionMatches(PyExc_ValueError)) {
    PyErr_Clear();
    return;
  }
  raise_current();
}

}  // namespace

NodeId to_node_id(PyObject* item) {
  unsigned long long value;
  if (PyLong_CheckExact(item)) {
    long long small;
    if (compact_int_value(item, &small) && small >= 0) return static_cast<NodeId>(small);
    value = PyLong_AsUnsignedLongLong(item);
  } else {
    PyRef index = check(PyNumber_Index(item));
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_current();
  return static_cast<NodeId>(value);
}

namespace {

// Ids gathered on the stack when there are few of them: converting a short
// input list then allocates nothing beyond the key itself.
class IdBuffer {
 public:
  void reserve(std::size_t n) {
    if (n > kInline) spill_.reserve(n);
  }
  void push_back(NodeId id) {
    if (spill_.empty() && size_ < kInline) {
      inline_[size_++] = id;
      return;
    }
    if (spill_.empty()) spill_.assign(inline_, inline_ + size_);
    spill_.push_back(id);
  }
  std::span<const NodeId> ids() const noexcept {
    return spill_.empty() ? std::span<const NodeId>(inline_, size_) : std::span<const NodeId>(spill_);
  }

 private:
  static constexpr std::size_t kInline = 8;
  NodeId inline_[kInline];
  std::size_t size_ = 0;
  NodeIds spill_;
};

template <class Ids>
void append_ids(PyObject* object, Ids& ids) {
  if (PyUnicode_Check(object)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    // Exact lists and tuples are read item by item, like iterating them. A
    // list is read inside its critical section and its length is read
    // again for every item, since an item's __index__ may change it.
    const bool is_list = PyList_CheckExact(object);
    ids.reserve(static_cast<std::size_t>(Py_SIZE(object)));
    for (Py_ssize_t i = 0;; ++i) {
      PyRef held;
      {
        CriticalSection section(object);
        if (i >= Py_SIZE(object)) break;
        PyObject* item = is_list ? PyList_GET_ITEM(object, i) : PyTuple_GET_ITEM(object, i);
#if !QUORVEL_FREE_THREADED
        // Reading an exact int runs no Python code, so under the
        // interpreter lock the item cannot go away meanwhile.
        if (PyLong_CheckExact(item)) {
          ids.push_back(to_node_id(item));
          continue;
        }
#endif
        held = PyRef::new_ref(item);
      }
      ids.push_back(to_node_id(held.get()));
    }
    return;
  }
  PyObject* sequence = sequence_abc();
  if (sequence == nullptr) raise_current();
  const int is_sequence = PyObject_IsInstance(object, sequence);
  check_status(is_sequence);
  if (is_sequence == 0) raise_not_instance(object, "Sequence");
  // The length only sizes the result, and an object may claim any length:
  // reserve no more than a modest bound, the rest grows as items arrive.
  constexpr Py_ssize_t kMaxReservedIds = Py_ssize_t{1} << 16;
  const Py_ssize_t size_hint = PyObject_Size(object);
  if (size_hint < 0) {
    // Only "has no usable length" is passed over; anything else (an
    // interrupt, MemoryError) raised by __len__ ends the conversion.
    clear_if_not_this_type();
  } else {
    ids.reserve(static_cast<std::size_t>(std::min(size_hint, kMaxReservedIds)));
  }
  PyRef iter = check(PyObject_GetIter(object));
  while (true) {
    PyObject* raw = nullptr;
    const int status = iter_next_item(iter.get(), &raw);
    check_status(status);
    if (status == 0) break;
    PyRef item = PyRef::steal(raw);
    ids.push_back(to_node_id(item.get()));
  }
}

}  // namespace

NodeIds to_id_list(PyObject* object) {
  NodeIds ids;
  append_ids(object, ids);
  return ids;
}

NodeInputs to_node_inputs(PyObject* object) {
  IdBuffer buffer;
  append_ids(object, buffer);
  return NodeInputs(buffer.ids());
}

namespace {

[[noreturn]] void bad_param_value() {
  raise(PyExc_TypeError, "param values must be int, float, bool, or str");
}

// The view of a value whose conversion can neither fail nor run Python
// code: an exact bool, float, one-digit int or pure-ASCII str. The same
// view the general rules give it.
[[gnu::always_inline]] inline bool plain_param_view(PyObject* value, ParamValueView* view) noexcept {
  if (Py_IS_TYPE(value, &PyBool_Type)) {
    *view = ParamValueView::boolean(value == Py_True);
    return true;
  }
  if (PyFloat_CheckExact(value)) {
    *view = ParamValueView::floating(PyFloat_AS_DOUBLE(value));
    return true;
  }
  if (PyLong_CheckExact(value)) {
    long long v;
    if (!compact_int_value(value, &v)) return false;
    *view = ParamValueView::integer(v);
    return true;
  }
  if (PyUnicode_CheckExact(value) && PyUnicode_IS_COMPACT_ASCII(value)) {
    *view = ParamValueView::text(text_view(value));
    return true;
  }
  return false;
}

// The first rule that accepts the value decides its kind: exact bool, then
// 64-bit integer (honouring __index__), then float (through __float__ or
// __index__), then str. A str's text is borrowed from the object.
ParamValueView to_param_view(PyObject* value) {
  // Fast paths with the same outcome as the general rules: floats never
  // convert to integers, exact ints never fail the float rule unless they
  // fail the integer one, exact strs have no numeric conversions.
  if (ParamValueView plain; plain_param_view(value, &plain)) return plain;
  if (PyUnicode_CheckExact(value)) return ParamValueView::text(text_view(value));
  // A failed conversion passes on to the next rule only when its error
  // means "not this type"; anything else (KeyboardInterrupt, SystemExit,
  // MemoryError raised by __index__ or __float__) propagates unchanged.
  {
    const long long v = PyLong_AsLongLong(value);
    if (!(v == -1 && PyErr_Occurred())) return ParamValueView::integer(v);
    clear_if_not_this_type();
  }
  {
    const double v = PyFloat_AsDouble(value);
    if (!(v == -1.0 && PyErr_Occurred())) return ParamValueView::floating(v);
    clear_if_not_this_type();
  }
  if (PyUnicode_Check(value)) return ParamValueView::text(text_view(value));
  bad_param_value();
}

// Stack room for up to kOnStackEntries parameter entries, left
// uninitialised: each is constructed in place as it is converted.
constexpr std::size_t kOnStackEntries = 8;
struct StackEntries {
  StackEntries() noexcept {}
  union {
    ParamEntryView at[kOnStackEntries];
  };
};
static_assert(std::is_trivially_destructible_v<ParamEntryView>);

// The keys and values of a params dict, each held by a new reference until
// the map has been encoded. Up to kOnStack items need no heap block.
class HeldItems {
 public:
  static constexpr std::size_t kOnStack = kOnStackEntries;

  HeldItems() = default;
  HeldItems(const HeldItems&) = delete;
  HeldItems& operator=(const HeldItems&) = delete;
  ~HeldItems() {
    PyObject** items = data();
    for (std::size_t i = 0; i < 2 * count_; ++i) Py_DECREF(items[i]);
  }

  void hold(PyObject* key, PyObject* value) {
    if (count_ < kOnStack) {
      stack_[2 * count_] = key;
      stack_[2 * count_ + 1] = value;
    } else {
      // Room first: nothing is held that the destructor would not release.
      if (more_.empty()) {
        more_.reserve(4 * kOnStack);
        more_.assign(stack_, stack_ + 2 * count_);
      }
      more_.reserve(more_.size() + 2);
      more_.push_back(key);
      more_.push_back(value);
    }
    Py_INCREF(key);
    Py_INCREF(value);
    ++count_;
  }

  std::size_t size() const noexcept { return count_; }
  PyObject* key(std::size_t i) const noexcept { return data()[2 * i]; }
  PyObject* value(std::size_t i) const noexcept { return data()[2 * i + 1]; }

 private:
  PyObject** data() noexcept { return count_ <= kOnStack ? stack_ : more_.data(); }
  PyObject* const* data() const noexcept { return count_ <= kOnStack ? stack_ : more_.data(); }

  PyObject* stack_[2 * kOnStack];
  std::vector<PyObject*> more_;
  std::size_t count_ = 0;
};

// Converts a small dict of plain keys and values in one step inside its
// critical section, holding nothing: no Python code runs meanwhile, so the
// borrowed texts stay valid until the map is encoded. False (and nothing
// done) when some item needs the general path.
bool plain_params(PyObject* dict, ParamMap& out) {
  CriticalSection section(dict);
  if (PyDict_GET_SIZE(dict) > static_cast<Py_ssize_t>(kOnStackEntries)) return false;
  StackEntries entries;
  std::size_t count = 0;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    ParamValueView view;
    if (count == kOnStackEntries || !PyUnicode_CheckExact(key) || !PyUnicode_IS_COMPACT_ASCII(key) ||
        !plain_param_view(value, &view)) {
      return false;
    }
    new (&entries.at[count++]) ParamEntryView{text_view(key), view};
  }
  out = ParamMap::from_views(std::span<ParamEntryView>(entries.at, count));
  return true;
}

ParamMap general_params(PyObject* object);

}  // namespace

ParamMap to_params(PyObject* object) {
  if (object == nullptr || object == Py_None) return ParamMap();
  if (!PyDict_Check(object)) raise(PyExc_TypeError, "params must be a dict or None");
  ParamMap params;
  try {
    // Exact str keys are distinct texts: nothing to check on this path.
    if (plain_params(object, params)) return params;
    params = general_params(object);
  } catch (const LimitExceeded& e) {
    raise(PyExc_OverflowError, e.message());
  }
  // The keys of a dict are distinct objects, but a str subclass with its own
  // __eq__ and __hash__ lets two of them carry the same text. Such a map
  // would hold one name twice, in the dict's insertion order, so the node's
  // identity would depend on that order: refused. Like every error of the
  // params dict, it carries no note.
  if (const auto name = params.repeated_name()) {
    raise(PyExc_ValueError, "param name '" + std::string(*name) + "' given more than once");
  }
  return params;
}

namespace {

ParamMap general_params(PyObject* object) {
  // The general path. The items are taken in one step inside the dict's
  // critical section and converted afterwards: a conversion may run Python
  // code that changes the dict, and the entries borrow the text of the held
  // keys and str values.
  HeldItems items;
  {
    CriticalSection section(object);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(object, &pos, &key, &value)) {
      items.hold(key, value);
    }
  }
  const std::size_t count = items.size();
  StackEntries stack_entries;
  std::vector<ParamEntryView> more_entries;
  if (count > kOnStackEntries) more_entries.resize(count);
  ParamEntryView* entries = count <= kOnStackEntries ? stack_entries.at : more_entries.data();
  for (std::size_t i = 0; i < count; ++i) {
    new (&entries[i]) ParamEntryView{text_view(items.key(i)), to_param_view(items.value(i))};
  }
  return ParamMap::from_views(std::span<ParamEntryView>(entries, count));
}

bool text_equals(PyObject* text, std::string_view expected) {
  return PyUnicode_Check(text) && unicode_equals_utf8(text, expected.data(), static_cast<Py_ssize_t>(expected.size()));
}

// A NumPy boolean scalar type: named bool_ or bool, of the module numpy.
// The name and module are read the way Python shows them (__name__ and
// __module__), so that types defined in Python are recognised as well as
// those of the extension, whose tp_name carries the module.
bool is_numpy_bool_type(PyTypeObject* type) {
  PyRef name = check(PyType_GetName(type));
  if (!text_equals(name.get(), "bool_") && !text_equals(name.get(), "bool")) return false;
#if PY_VERSION_HEX >= 0x030D0000
  PyRef module = check(PyType_GetModuleName(type));
#else
  PyRef module = check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
#endif
  return text_equals(module.get(), "numpy");
}

}  // namespace

bool to_bool(PyObject* object) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  if (is_numpy_bool_type(Py_TYPE(object))) {
    const int truth = PyObject_IsTrue(object);
    check_status(truth);
    return truth == 1;
  }
  raise_not_instance(object, "bool");
}

PayloadDescriptor to_descriptor(PyObject* object) {
  if (const PayloadDescriptor* record = payload_descriptor_record(object)) return *record;
  if (!PyDict_Check(object)) raise(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
  auto lookup = [&](const char* key) -> PyRef {
    PyRef key_object = check(PyUnicode_FromString(key));
    PyObject* found = nullptr;
    check_status(dict_get_item_ref(object, key_object.get(), &found));
    return PyRef::steal(found);
  };
  PayloadDescriptor d;
  // The optional field is read first.
  if (PyRef ref = lookup("preprocessing_ref"); ref && ref.get() != Py_None) d.preprocessing_ref = to_text(ref.get());
  const std::pair<const char*, std::string*> required[] = {
      {"kind", &d.kind}, {"content_hash", &d.content_hash}, {"framework", &d.framework},
      {"version", &d.version}, {"io_schema", &d.io_schema}};
  for (const auto& [key, field] : required) {
    PyRef value = lookup(key);
    if (!value) raise(PyExc_ValueError, std::string("descriptor missing required field '") + key + "'");
    *field = to_text(value.get());
  }
  return d;
}

PyRef from_id(NodeId id) {
  // Ids stay far below 2^63; the signed conversion has the interpreter's
  // fast path for small values.
  if (id <= static_cast<NodeId>(LLONG_MAX)) return check(PyLong_FromLongLong(static_cast<long long>(id)));
  return check(PyLong_FromUnsignedLongLong(id));
}

PyRef from_text(std::string_view text) {
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef from_params(const ParamMap& params) {
  PyRef dict = check(PyDict_New());
  for (const ParamEntryView e : params) {
    PyRef value;
    switch (e.value.kind()) {
      case ParamKind::Int: value = check(PyLong_FromLongLong(e.value.as_int())); break;
      case ParamKind::Float: value = check(PyFloat_FromDouble(e.value.as_float())); break;
      case ParamKind::Bool: value = PyRef::new_ref(e.value.as_bool() ? Py_True : Py_False); break;
      case ParamKind::Str: value = from_text(e.value.as_str()); break;
    }
    PyRef key = from_text(e.name);
    check_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
  }
  return dict;
}

PyRef from_id_list(const NodeIds& ids) {
  PyRef list = check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), from_id(ids[i]).release());
  }
  return list;
}

}  // namespace quorvel::py
