#include "binding/type_registry.hpp"

namespace quorvel::py {

PyObject* create_immutable_type(PyType_Spec* type_description) {
  PyObject* type = PyType_FromSpec(type_description);
#if PY_VERSION_HEX >= 0x030E0000
  if (type != nullptr && PyType_Freeze(reinterpret_cast<PyTypeObject*>(type)) < 0) {
    Py_DECREF(type);
    return nullptr;
  }
#endif
  return type;
}

}  // namespace quorvel::py
