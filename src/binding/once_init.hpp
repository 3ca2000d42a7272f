// One-time creation of process-wide Python objects (type objects, interned
// strings, imported classes). No lock is held while the object is created:
// creating it may run Python code (an import runs import hooks, type
// creation may call back into Python), and that code may call into this
// module and ask for the same object again. Threads that race each create
// an object; the first one published wins and the others drop theirs, so
// every caller sees the same object from then on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace quorvel::py {

class OnceObject {
 public:
  // Returns the object (borrowed), creating it with create() (a new
  // reference or null with an exception set) on first use. The object is
  // kept for the life of the process. Returns null with the exception set
  // on failure; a later call tries again. create() may re-enter get(): the
  // inner call creates and publishes its own object, and the outer one then
  // drops its object and returns the published one.
  template <class Create>
  PyObject* get(Create&& create) {
    PyObject* object = object_.load(std::memory_order_acquire);
    if (object != nullptr) return object;
    PyObject* created = create();
    if (created == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (object_.compare_exchange_strong(expected, created, std::memory_order_acq_rel, std::memory_order_acquire)) {
      return created;
    }
    // Another caller published first; its object is the one everybody uses.
    Py_DECREF(created);
    return expected;
  }

 private:
  std::atomic<PyObject*> object_{nullptr};
};

}  // namespace quorvel::py
