// One-time creation of process-wide Python objects (type objects, interned
// strings, imported classes). A thread that finds another one creating the
// object waits with its thread state detached, so that the creator, which
// may need the interpreter, can always finish.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <mutex>

namespace quorvel::py {

class OnceObject {
 public:
  // Returns the object, creating it with create() (a new reference or
  // null with an exception set) on first use. The object is kept for the
  // life of the process. Returns null with the exception set on failure;
  // a later call tries again.
  template <class Create>
  PyObject* get(Create&& create) {
    PyObject* object = object_.load(std::memory_order_acquire);
    if (object != nullptr) return object;
    if (!mutex_.try_lock()) {
      PyThreadState* state = PyEval_SaveThread();
      mutex_.lock();
      PyEval_RestoreThread(state);
    }
    std::lock_guard<std::mutex> guard(mutex_, std::adopt_lock);
    object = object_.load(std::memory_order_acquire);
    if (object == nullptr) {
      object = create();
      if (object != nullptr) object_.store(object, std::memory_order_release);
    }
    return object;
  }

 private:
  std::atomic<PyObject*> object_{nullptr};
  std::mutex mutex_;
};

}  // namespace quorvel::py
