// The Python class PayloadDescriptor: an immutable wrapper of one record.
#include "binding/payload_descriptor_type.hpp"

#include <memory>
#include <optional>
#include <string>

#include "binding/arg_parser.hpp"
#include "binding/convert.hpp"
#include "binding/once_init.hpp"
#include "binding/type_registry.hpp"

namespace quorvel::py {

namespace {

struct DescriptorObject {
  PyObject_HEAD
  PayloadDescriptor* record;
};

PayloadDescriptor& record_of(PyObject* self) { return *reinterpret_cast<DescriptorObject*>(self)->record; }

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry_point<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr const char* kKeywordOnly[] = {"kind", "content_hash", "framework", "version", "io_schema",
                                                   "preprocessing_ref"};
    static const Signature sig{"PayloadDescriptor.__new__()", nullptr, 0, 0, kKeywordOnly, 6, 5};
    PyObject* slots[6];
    parse_tuple_dict(sig, args, kwargs, slots);
    auto record = std::make_unique<PayloadDescriptor>();
    std::string* fields[] = {&record->kind, &record->content_hash, &record->framework, &record->version,
                             &record->io_schema};
    for (int k = 0; k < 5; ++k) *fields[k] = processing(kKeywordOnly[k], [&] { return to_text(slots[k]); });
    if (given(slots[5])) record->preprocessing_ref = processing("preprocessing_ref", [&] { return to_text(slots[5]); });
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) raise_current();
    reinterpret_cast<DescriptorObject*>(self)->record = record.release();
    return self;
  });
}

void descriptor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<DescriptorObject*>(self)->record;
  type->tp_free(self);
  Py_DECREF(type);
}

template <std::string PayloadDescriptor::*Field>
PyObject* get_field(PyObject* self, void*) {
  return entry_point<PyObject*>(nullptr, [&] { return from_text(record_of(self).*Field).release(); });
}

PyObject* get_preprocessing_ref(PyObject* self, void*) {
  return entry_point<PyObject*>(nullptr, [&]() -> PyObject* {
    const std::optional<std::string>& ref = record_of(self).preprocessing_ref;
    if (!ref) Py_RETURN_NONE;
    return from_text(*ref).release();
  });
}

PyGetSetDef descriptor_getset[] = {
    {"kind", get_field<&PayloadDescriptor::kind>, nullptr, nullptr, nullptr},
    {"content_hash", get_field<&PayloadDescriptor::content_hash>, nullptr, nullptr, nullptr},
    {"framework", get_field<&PayloadDescriptor::framework>, nullptr, nullptr, nullptr},
    {"version", get_field<&PayloadDescriptor::version>, nullptr, nullptr, nullptr},
    {"io_schema", get_field<&PayloadDescriptor::io_schema>, nullptr, nullptr, nullptr},
    {"preprocessing_ref", get_preprocessing_ref, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char descriptor_doc[] =
    "PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)\n--\n\n"
    "Reproducibility metadata an External node carries (participates in the structural hash).";

PyType_Slot descriptor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(descriptor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(descriptor_dealloc)},
    {Py_tp_getset, descriptor_getset},
    {Py_tp_doc, const_cast<char*>(descriptor_doc)},
    {0, nullptr},
};

PyType_Spec descriptor_spec = {
    "builtins.PayloadDescriptor",
    sizeof(DescriptorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    descriptor_slots,
};

}  // namespace

PyTypeObject* payload_descriptor_type() {
  static OnceObject type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_immutable_type(&descriptor_spec); }));
}

const PayloadDescriptor* payload_descriptor_record(PyObject* object) {
  PyTypeObject* type = payload_descriptor_type();
  if (type == nullptr) raise_current();
  if (!PyObject_TypeCheck(object, type)) return nullptr;
  return reinterpret_cast<DescriptorObject*>(object)->record;
}

}  // namespace quorvel::py
