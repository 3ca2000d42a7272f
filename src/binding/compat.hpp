// Back-ports of the newer C API calls the binding uses, for the older
// interpreters it supports. Each shim sits behind a version check so that
// newer headers use the real function.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

// Free-threaded builds define Py_GIL_DISABLED.
#ifdef Py_GIL_DISABLED
#define QUORVEL_FREE_THREADED 1
#else
#define QUORVEL_FREE_THREADED 0
#endif

namespace quorvel::py {

// PyErr_GetRaisedException / PyErr_SetRaisedException (3.12).
inline PyObject* get_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

inline void set_raised_exception(PyObject* exc) {  // steals exc
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  if (exc == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// PyDict_GetItemRef (3.13): 1 and a new reference when found, 0 when
// absent, -1 with an exception set on error.
inline int dict_get_item_ref(PyObject* dict, PyObject* key, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyDict_GetItemRef(dict, key, result);
#else
  PyObject* item = PyDict_GetItemWithError(dict, key);
  if (item != nullptr) {
    Py_INCREF(item);
    *result = item;
    return 1;
  }
  *result = nullptr;
  return PyErr_Occurred() ? -1 : 0;
#endif
}

// PyIter_NextItem (3.14): 1 with a new reference, 0 when exhausted, -1 on
// error.
inline int iter_next_item(PyObject* iter, PyObject** item) {
#if PY_VERSION_HEX >= 0x030E0000
  return PyIter_NextItem(iter, item);
#else
  *item = PyIter_Next(iter);
  if (*item != nullptr) return 1;
  return PyErr_Occurred() ? -1 : 0;
#endif
}

// PyUnicode_EqualToUTF8AndSize (3.13), for keyword names.
inline bool unicode_equals_utf8(PyObject* text, const char* utf8, Py_ssize_t size) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyUnicode_EqualToUTF8AndSize(text, utf8, size) == 1;
#else
  Py_ssize_t len = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &len);
  if (data == nullptr) {
    PyErr_Clear();
    return false;
  }
  return len == size && std::memcmp(data, utf8, static_cast<size_t>(size)) == 0;
#endif
}

// A per-object critical section (3.13, free-threaded builds) around work on
// a shared mutable object; a no-op where the interpreter lock already
// serialises access.
// The value of an int stored in a single digit, read without a call; false
// when the int needs the general conversion. The layout of ints changed in
// 3.12, which added calls for exactly this.
inline bool compact_int_value(PyObject* object, long long* value) {
#if PY_VERSION_HEX >= 0x030C0000
  auto* number = reinterpret_cast<PyLongObject*>(object);
  if (!PyUnstable_Long_IsCompact(number)) return false;
  *value = PyUnstable_Long_CompactValue(number);
  return true;
#else
  const Py_ssize_t size = Py_SIZE(object);  // the digit count, signed like the value
  if (size < -1 || size > 1) return false;
  const long long digit = size == 0 ? 0 : static_cast<long long>(reinterpret_cast<PyLongObject*>(object)->ob_digit[0]);
  *value = size < 0 ? -digit : digit;
  return true;
#endif
}

class CriticalSection {
 public:
  explicit CriticalSection(PyObject* object) {
#if QUORVEL_FREE_THREADED
    PyCriticalSection_Begin(&section_, object);
#else
    (void)object;
#endif
  }
  ~CriticalSection() {
#if QUORVEL_FREE_THREADED
    PyCriticalSection_End(&section_);
#endif
  }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
#if QUORVEL_FREE_THREADED
  PyCriticalSection section_;
#endif
};

}  // namespace quorvel::py
